"""The tour: the real tray program with the companion simulator in the companion's place, walked
through a session as a person would see it, in screenshots.

    python3 scripts/tour.py [--build-dir build/mingw] [--out build/tour] [--live]

scripts/tour.sh sets the machine up and builds first; this driver needs the build. It runs in a
private Xvfb display, or with --live (or VESTREL_TOUR_LIVE=1) on the display in $DISPLAY, where
Wine's desktop opens as a window. Every step waits for what it shows, with a deadline, and the
tour fails if something does not happen. Everything it starts is ended when it ends.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Mapping

sys.dont_write_bytecode = True  # keep the source tree clean
ROOT = Path(__file__).resolve().parents[1]
# The end-to-end bench's package (tests/e2e/harness): the one place this script reaches into.
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
from harness import (NIIF_WARNING, NIN_BALLOONTIMEOUT, NIN_BALLOONUSERCLICK,  # noqa: E402
                     Profile, balloons, read_profile, wait_until, windows_path)
from harness import simulator  # noqa: E402
from harness.menu import link_rtl_scripts_font, open_menu  # noqa: E402
from harness.screen import (AWAY, BALLOON_AREA, FLAT_AREA_COLOURS, TOOLTIP_AREA,  # noqa: E402
                            TOUR_ZOOM, TRAY_ICON_CENTER, TRAY_SLOT_BOX, Screen, area_signature,
                            colour_count)
from harness.shell import Standin, is_tip_refresh  # noqa: E402
from harness.xdisplay import XDisplay  # noqa: E402
from harness.xinput import Input  # noqa: E402

SCENARIOS = ROOT / "tools" / "companion-sim" / "scenarios"
# Wine's own fonts have no Hebrew or Arabic letters; DejaVu Sans (on Debian with fontconfig)
# has both, and linking it to the interface fonts lets menus, tooltips and balloons draw them.
FONT_LINK_FACES = ("Tahoma", "Microsoft Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2")
# The menu's commands below the separator; stop only while the companion runs.
RUNNING_MENU = ["open", "stop", "mute"]
STOPPED_MENU = ["open", "mute"]


# ---------------------------------------------------------------------------------------------
# The bench, with the tour's own prefix and folders, and optionally a live display


@dataclass
class TourConfig(harness.BenchConfig):
    out: Path = field(default=Path("build/tour"))

    @property
    def prefix(self) -> Path:
        return self.build_dir / "wineprefix-tour"

    @property
    def artifacts(self) -> Path:
        return self.out

    @property
    def work_root(self) -> Path:
        return self.out / "work"


class LiveDisplay(XDisplay):
    """The display in $DISPLAY, where Wine's desktop opens as a window; not the bench's own."""

    def start(self) -> None:
        self.name = os.environ.get("DISPLAY")
        if not self.name:
            raise RuntimeError("--live needs a display in $DISPLAY")

    def ensure_running(self) -> None:
        pass

    def stop(self) -> None:
        pass


class DesktopWindow:
    """On a live display Wine's desktop is a window somewhere on the screen: pictures are taken
    of it alone and pointer positions are made relative to it."""

    def __init__(self, env: Callable[[Mapping[str, str] | None], dict[str, str]]):
        self.env = env
        self.window: str | None = None

    def id(self) -> str:
        if self.window is None:
            def find() -> str | None:
                found = subprocess.run(["xdotool", "search", "--name", "Wine desktop"],
                                       env=self.env(None), capture_output=True, text=True)
                ids = found.stdout.split()
                return ids[-1] if ids else None
            self.window = wait_until(find, "Wine's desktop window", 30, 0.2)
        return self.window


class TourScreen(Screen):
    """Working pictures, for looking, go to work/looks, apart from the tour's own pictures; on a
    live display every picture is of Wine's desktop window alone."""

    def __init__(self, artifacts: Path, looks: Path, desktop: DesktopWindow | None):
        super().__init__(artifacts)
        self.looks = looks
        self.desktop = desktop

    def path(self, name: str) -> Path:
        self.looks.mkdir(parents=True, exist_ok=True)
        return self.looks / f"{name}.png"

    def capture(self, path: Path) -> Path:
        if self.desktop is None:
            return super().capture(path)
        subprocess.run(["import", "-display", str(self.display), "-window", self.desktop.id(),
                        str(path)], check=True, timeout=30, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
        return path


class LiveInput(Input):
    def __init__(self, env: Callable[[Mapping[str, str] | None], dict[str, str]],
                 desktop: DesktopWindow):
        super().__init__(env)
        self.desktop = desktop

    def move(self, x: int, y: int) -> None:
        self.xdotool("mousemove", "--window", self.desktop.id(), str(x), str(y))


class TourSession(harness.WineSession):
    """The bench with the tour's own prefix and folders, and optionally a live display."""

    def __init__(self, config: TourConfig, live: bool):
        self.live = live
        super().__init__(config)

    def _make_display(self) -> XDisplay:
        if self.live:
            return LiveDisplay(self.config.work_root / "xvfb.log")
        return super()._make_display()

    def _make_screen(self) -> Screen:
        self.desktop_window = DesktopWindow(self.env) if self.live else None
        return TourScreen(self.config.artifacts, self.config.work_root / "looks",
                          self.desktop_window)

    def _make_input(self) -> Input:
        if self.desktop_window is not None:
            return LiveInput(self.env, self.desktop_window)
        return super()._make_input()

    def open(self) -> None:
        super().open()
        # Kept for every later tour in this prefix; a link that is there already is kept.
        link_rtl_scripts_font(self, FONT_LINK_FACES)

    def fresh_desktop(self) -> None:
        super().fresh_desktop()
        if self.desktop_window is not None:
            self.desktop_window.window = None


# ---------------------------------------------------------------------------------------------
# One act of the tour: one scenario, one tray program, one companion


@dataclass
class Story:
    title: str
    lines: list[str] = field(default_factory=list)

    def say(self, text: str) -> None:
        self.lines.append(text)
        print(f"  {text}", flush=True)


class Act:
    def __init__(self, session: TourSession, tour: "Tour", key: str, scenario_file: str,
                 title: str):
        self.session = session
        self.tour = tour
        self.key = key
        self.story = Story(title)
        print(f"\n{title}", flush=True)
        session.fresh_desktop()
        self.work = session.begin_test(f"tour.{key}")
        self.scenario = self.work / scenario_file
        shutil.copy(SCENARIOS / scenario_file, self.scenario)
        self.config = simulator.read_scenario(self.scenario)
        self.labels = self.config["labels"]
        self.record = self.work / self.config["companion"]["record"]
        self.state = self.work / self.config["companion"]["state"]
        self.seen = self.work / "seen.ini"
        self.browser = self.work / "browser.log"
        self.standin: Standin | None = None
        self.tray: harness.Program | None = None

    # -- the companion side -----------------------------------------------------------------

    def events(self, after: int = 0) -> list[simulator.Event]:
        return simulator.read_record(self.record)[after:]

    def wait_for_event(self, word: str, after: int, description: str,
                       **fields: str) -> simulator.Event:
        def find() -> simulator.Event | None:
            return next((e for e in self.events(after) if e.word == word and all(
                e.fields.get(k) == v for k, v in fields.items())), None)
        try:
            return wait_until(find, description, timeout=20)
        except AssertionError as error:
            raise AssertionError(f"{error}\nrecord:\n{simulator.record_text(self.record)}") from None

    def run_companion(self, *screen: str) -> None:
        """A start of the companion from outside the tray program (as its own shortcut would)."""
        args = ["-I", windows_path(self.scenario)]
        if screen:
            args += ["--screen", *screen]
        code = self.session.traytool.run_to_exit(self.tour.sim_exe, *args, timeout=30)
        if code != 0:
            raise AssertionError(f"companion-sim {' '.join(args)} ended with {code}")

    def start_companion(self) -> str:
        mark = len(self.events())
        self.session.programs.start(self.tour.sim_exe, "-I", windows_path(self.scenario),
                                    name="companion")
        return self.wait_for_event("running", mark, "the companion to run")["pid"]

    # -- the tray side ----------------------------------------------------------------------

    def start_tray(self) -> None:
        # shell-standin sees what the program tells the notification area (the tooltip text),
        # and passes it on, so the real icon is drawn as well.
        self.standin = self.session.start_standin()
        # In place of a browser, so that nothing opens on the machine that runs the tour.
        self.session.registry.set_url_handler("https", self.session.config.tool("record-args"))
        args = self.session.tray_args(mutex="vestrel-tour", state=self.state, seen=self.seen,
                                      pythonw=self.tour.sim_exe, launcher=self.scenario)
        # The shell's https handler is record-args, which writes where this names.
        self.tray, _ = self.session.start_watched_tray(
            args, env={"VESTREL_RECORD_FILE": windows_path(self.browser)})
        wait_until(lambda: colour_count(self.session.screen.screenshot("looking"),
                                        TRAY_SLOT_BOX) > FLAT_AREA_COLOURS,
                   "the icon to be drawn", timeout=20, interval=0.2)

    def tick(self) -> None:
        self.session.traytool.tick(send=True)

    def tooltip_text(self) -> str:
        records = [r for r in self.standin.records() if is_tip_refresh(r)]
        return records[-1]["szTip"] if records else ""

    def wait_for_tooltip(self, status: str) -> str:
        wanted = "\n".join(filter(None, (self.labels.get("title", ""), self.labels[status])))

        def current() -> bool:
            self.tick()
            return self.tooltip_text() == wanted
        wait_until(current, f"the tooltip to read {wanted!r}", timeout=40, interval=0.5)
        return wanted

    def balloons(self) -> list[dict]:
        return balloons(self.standin.records())

    # -- what a person sees -----------------------------------------------------------------

    def shot(self, name: str, box: tuple[int, int, int, int] = TOUR_ZOOM) -> Path:
        """A full-desktop picture and a zoomed one of the interesting part."""
        full = self.tour.take(f"{self.key}-{name}")
        zoomed = full.with_name(full.stem + "-zoom.png")
        x, y, width, height = box
        subprocess.run(["convert", str(full), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                        "-scale", "200%", str(zoomed)], check=True, timeout=30)
        self.tour.shots.append(full)
        return full

    def settled_change(self, box: tuple[int, int, int, int], baseline: bytes,
                       description: str, timeout: float = 15) -> None:
        """Waits until the box shows something else than baseline, drawn in full (the same in two
        pictures in a row) and not just bare desktop."""
        last: list[bytes] = []

        def look() -> bool:
            shot = self.session.screen.screenshot("looking")
            now = area_signature(shot, box)
            settled = bool(last) and now == last[-1]
            last[:] = [now]
            return settled and now != baseline and colour_count(shot, box) > 8
        wait_until(look, description, timeout, interval=0.15)

    def show_tooltip(self, name: str) -> None:
        self.session.input.move(*AWAY)
        baseline = area_signature(self.session.screen.screenshot("looking"), TOOLTIP_AREA)
        self.session.input.move(*TRAY_ICON_CENTER)
        try:
            self.settled_change(TOOLTIP_AREA, baseline, "the tooltip to show", 8)
            self.shot(name)
        finally:
            self.session.input.move(*AWAY)

    def balloon_area(self) -> bytes:
        return area_signature(self.session.screen.screenshot("looking"), BALLOON_AREA)

    def next_balloon(self, index: int, notices: list[dict], tick_until_listed: bool) -> dict:
        """Waits for the program to ask for balloon index+1 and for it to be drawn; returns the
        scenario's notice that it shows."""
        baseline = self.balloon_area()

        def requested() -> dict | None:
            shown = self.balloons()
            if len(shown) > index:
                return shown[index]
            if tick_until_listed:
                self.tick()
            return None
        record = wait_until(requested, f"balloon {index + 1}", timeout=40, interval=0.5)
        texts = (record["szInfoTitle"], record["szInfo"])
        notice = next((n for n in notices if (n["title"], n["body"]) == texts), None)
        if notice is None:
            raise AssertionError(f"balloon {index + 1} shows {texts}: no notice has that text")
        self.settled_change(BALLOON_AREA, baseline, f"balloon {index + 1} to be drawn")
        kind = "warning" if record["dwInfoFlags"] & 0xF == NIIF_WARNING else "info"
        self.shot(f"balloon-{index + 1}-{notice['kind']}")
        self.story.say(f"balloon {index + 1} ({kind} icon, {notice['kind']} notice, listed as "
                       f"notice {notices.index(notice) + 1}): {notice['title']} – "
                       f"{notice['body']}")
        return notice

    def end_balloon(self, notice: dict, click: bool) -> None:
        if not click:
            self.session.traytool.event(NIN_BALLOONTIMEOUT)
            return
        mark = len(self.events())
        browser_before = self.browser.read_text() if self.browser.exists() else ""
        self.session.traytool.event(NIN_BALLOONUSERCLICK)
        target = notice["target"]
        if target.startswith("app:"):
            event = self.wait_for_event("screen", mark, "the companion to get the screen",
                                        name=target[4:])
            self.story.say(f"  clicked: the companion (pid {event['pid']}) was asked for screen "
                           f"'{event['name']}' by a new start (pid {event['from']})")
        else:
            def opened() -> str | None:
                text = self.browser.read_text() if self.browser.exists() else ""
                return text[len(browser_before):].strip() or None
            line = wait_until(opened, "the browser to be started", timeout=20)
            if target not in line:
                raise AssertionError(f"the browser got {line!r}, not {target!r}")
            self.story.say(f"  clicked: the default browser was started for {target}")

    def menu(self, name: str, commands: list[str], command: str) -> None:
        menu = open_menu(self.session, "looking")
        if menu.commands != len(commands):
            menu.dismiss()
            raise AssertionError(f"the menu shows {menu.commands} commands, not {commands}")
        # The pointer rests on the command for the picture, so it shows highlighted.
        menu.hover(commands.index(command))
        shot = self.shot(name)
        menu.choose(commands.index(command))
        label = self.labels[command].replace("&", "")
        self.story.say(f"menu ({shot.name}): {menu.commands} commands, chose '{label}'")

    def close_tray(self) -> None:
        self.session.traytool.close()
        code = self.session.traytool.exit_code(self.tray, 20)
        self.story.say(f"tray program closed (exit code {code})")

    def starts(self, after: int) -> list[str]:
        """Each start of the companion after the first `after` events, and what came of it."""
        events = self.events(after)
        outcomes = {"running": "ran as the companion", "not-running": "nothing to stop",
                    "refused": "refused its command line"}
        lines = []
        for event in events:
            if event.word != "start":
                continue
            screen = f"--screen {event['screen']}" if event["screen"] else "no screen"
            outcome = next((f"handed to pid {e['to']}" if e.word == "handed" else outcomes[e.word]
                            for e in events if e["pid"] == event["pid"] and
                            (e.word == "handed" or e.word in outcomes)), "no outcome")
            lines.append(f"pid {event['pid']} ({screen}): {outcome}")
        return lines


# ---------------------------------------------------------------------------------------------
# The tour


class Tour:
    def __init__(self, session: TourSession, sim_exe: Path, out: Path):
        self.session = session
        self.sim_exe = sim_exe
        self.out = out
        self.sequence = 0
        self.shots: list[Path] = []
        self.stories: list[Story] = []

    def take(self, name: str) -> Path:
        self.sequence += 1
        return self.session.screen.capture(self.out / f"{self.sequence:02d}-{name}.png")

    def english(self) -> None:
        act = Act(self.session, self, "en", "vestrel-en.ini",
                  "English, left to right (scenarios/vestrel-en.ini)")
        self.stories.append(act.story)
        say = act.story.say
        notices = simulator.scenario_notices(act.config)

        # The companion ran earlier and has ended: its state file keeps the labels, with no
        # heartbeat.
        act.start_companion()
        act.run_companion("stop")
        tray_mark = len(act.events())
        act.start_tray()
        say(f"tooltip while the companion is stopped: {act.wait_for_tooltip('stopped')!r}")
        act.show_tooltip("tooltip-stopped")

        mark = len(act.events())
        act.menu("menu-stopped", STOPPED_MENU, "open")
        started = act.wait_for_event("running", mark, "the tray to start the companion")
        say(f"  the tray program started the companion (pid {started['pid']}) with "
            f"\"companion-sim.exe\" -I \"{act.scenario.name}\"")
        say(f"tooltip once it runs: {act.wait_for_tooltip('running')!r}")
        act.show_tooltip("tooltip-running")

        # Three notices come due together, a fourth later: the danger one jumps the queue.
        for index in range(len(notices)):
            notice = act.next_balloon(index, notices, tick_until_listed=True)
            # The first two are clicked: one opens a web page, the other a screen of the app.
            act.end_balloon(notice, click=index < 2)
        shown = [key for key, _ in Profile.read(act.seen).entries("shown")]
        say(f"seen file, shown in this order: {', '.join(shown)}")

        say(f"tooltip when an update waits: {act.wait_for_tooltip('update_waiting')!r}")
        act.show_tooltip("tooltip-update-waiting")

        act.menu("menu-running", RUNNING_MENU, "mute")
        wait_until(lambda: read_profile(act.seen).get("prefs", {}).get("mute_nudges")
                   == "1", "the mute preference in the seen file")
        say("  the seen file now holds mute_nudges=1")
        mark = len(act.events())
        act.menu("menu-muted", RUNNING_MENU, "stop")
        stopped = act.wait_for_event("exit", mark, "the companion to end")
        say(f"  the companion (pid {stopped['pid']}) got 'stop' and ended")
        say(f"tooltip after it ended: {act.wait_for_tooltip('stopped')!r}")
        act.close_tray()
        say("starts of the companion since the tray program started:")
        for line in act.starts(tray_mark):
            say(f"  {line}")

    def hebrew(self) -> None:
        act = Act(self.session, self, "he", "vestrel-he.ini",
                  "Hebrew, right to left (scenarios/vestrel-he.ini)")
        self.stories.append(act.story)
        say = act.story.say
        notices = simulator.scenario_notices(act.config)

        # This time the companion runs first and the tray program comes after it.
        pid = act.start_companion()
        tray_mark = len(act.events())
        act.start_tray()
        say(f"tooltip: {act.wait_for_tooltip('running')!r}")
        act.show_tooltip("tooltip-running")
        for index in range(len(notices)):
            notice = act.next_balloon(index, notices, tick_until_listed=True)
            act.end_balloon(notice, click=False)
        mark = len(act.events())
        act.menu("menu-running", RUNNING_MENU, "stop")
        act.wait_for_event("exit", mark, "the companion to end", pid=pid)
        say(f"  the companion (pid {pid}) got 'stop' and ended")
        say(f"tooltip after it ended: {act.wait_for_tooltip('stopped')!r}")
        act.close_tray()
        say("starts of the companion since the tray program started:")
        for line in act.starts(tray_mark):
            say(f"  {line}")

    def summary(self) -> None:
        print("\nSummary")
        for story in self.stories:
            print(f"  {story.title}")
            for line in story.lines:
                print(f"    {line}")
        print(f"\nScreenshots in {self.out} (full desktop, and a zoomed corner as *-zoom.png):")
        for full in self.shots:
            print(f"  {full}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "mingw")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "tour")
    parser.add_argument("--tools-dir", type=Path)
    parser.add_argument("--sim-exe", type=Path)
    parser.add_argument("--live", action="store_true",
                        default=os.environ.get("VESTREL_TOUR_LIVE", "") not in ("", "0"))
    options = parser.parse_args()

    build = options.build_dir.resolve()
    sim_exe = (options.sim_exe or build / "tools" / "companion-sim" / "companion-sim.exe").resolve()
    config = TourConfig(build_dir=build, tray_exe=build / "vestrel-tray.exe",
                        tools_dir=(options.tools_dir or build / "tests" / "tools").resolve(),
                        sim_exe=sim_exe, hold_file_exe=build / "tests" / "e2e" / "hold-file.exe",
                        out=options.out.resolve())
    if not sim_exe.is_file():
        print(f"tour: {sim_exe} is missing: build the project first", file=sys.stderr)
        return 2
    if not subprocess.run(["fc-list", ":lang=he"], capture_output=True, text=True).stdout:
        print("tour: no font with Hebrew letters (package fonts-dejavu-core): the right-to-left "
              "act will show boxes", file=sys.stderr)

    shutil.rmtree(config.out, ignore_errors=True)
    config.out.mkdir(parents=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    session = TourSession(config, options.live)
    tour = Tour(session, sim_exe, config.out)
    started = time.monotonic()
    try:
        session.open()
        tour.english()
        tour.hebrew()
    except (AssertionError, RuntimeError, subprocess.SubprocessError) as error:
        tour.summary()
        print(f"\ntour failed: {error}", file=sys.stderr)
        return 1
    finally:
        session.close()
    tour.summary()
    print(f"\nThe tour took {time.monotonic() - started:.0f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
