"""The bench's session: the real tray program under Wine, in a virtual desktop on Xvfb.

The session has a Wine desktop of its own (desktop.py: a prefix in the build tree, made once with
the default virtual desktop of 1024x768, a private X server on a free display and a persistent
wineserver), starts Windows programs in the background, drives the desktop with xdotool and keeps
screenshots in <build>/e2e-artifacts/.

A test module calls main(); each test gets a fresh desktop (wineserver -k ends every Windows
process of the prefix, the icons with them) and a fresh work folder. Everything the bench starts
is ended when a test ends, also when it fails, and when the run itself is killed: the X server,
the wineserver and the Windows programs die with this process. One session per build tree runs
at a time (a lock file in the build tree); a second one waits for the first.
"""

from __future__ import annotations

import dataclasses
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import IO, Any, Callable, Mapping, Sequence

from .companion import Companion, CompanionState
from .config import BenchConfig, parse_config
from .desktop import WineDesktop
from .prefix import Registry, WinePrefix, windows_path
from .programs import Program, Programs
from .screen import Screen
from .notices import record_lines
from .shell import Standin
from .traytool import TrayTool
from .win32 import NIF_TIP
from .waiting import DEFAULT_TIMEOUT, wait_until
from .xdisplay import XDisplay
from .xinput import Input

SESSION: "WineSession | None" = None


def current_session() -> WineSession:
    if SESSION is None:
        raise RuntimeError("run the test module itself (it calls harness.main()), "
                           "with --build-dir")
    return SESSION


def main() -> None:
    """Entry point of a test module: python3 test_x.py --build-dir DIR [unittest options]."""
    global SESSION
    config, rest = parse_config(sys.argv[1:])
    # A run that is told to stop still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    SESSION = WineSession(config)
    try:
        SESSION.open()
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
        ok = program.result.wasSuccessful()
    finally:
        SESSION.close()
    sys.exit(0 if ok else 1)


class WineSession:
    """The bench, made of parts that each keep to one concern:

    desktop   the two below, started and ended together (desktop.WineDesktop)
    display   the private X server and its input focus (xdisplay.XDisplay)
    prefix    the Wine prefix and its wineserver (prefix.WinePrefix)
    registry  the prefix's registry (prefix.Registry)
    programs  the Windows programs started for the current test (programs.Programs)
    traytool  the shell's and the system's side of the program's window (traytool.TrayTool)
    screen    screenshots and where things are drawn (screen.Screen)
    input     the pointer and the keyboard (xinput.Input)

    The session itself starts and ends them, gives each test a fresh desktop and work folder,
    and starts the program and the shell stand-in with the bench's own files."""

    def __init__(self, config: BenchConfig):
        self.config = config
        self.work: Path = config.work_root / "session"
        self.test_name = "session"
        self.display = self._make_display()
        self.prefix = WinePrefix(config.prefix, config.work_root / "wineserver.log",
                                 dpi=config.dpi)
        self.desktop = WineDesktop(self.prefix, self.display)
        self.registry = Registry(self.prefix)
        self.programs = Programs(self.env)
        self.traytool = TrayTool(self.programs, self.prefix, config.tool("traytool"))
        self.screen = self._make_screen()
        self.input = self._make_input()
        self._lock: IO[str] | None = None

    # Parts that a variant of the bench (the tour's live display) may replace.

    def _make_display(self) -> XDisplay:
        return XDisplay(self.config.work_root / "xvfb.log")

    def _make_screen(self) -> Screen:
        return Screen(self.config.artifacts)

    def _make_input(self) -> Input:
        return Input(self.env)

    def _setup_prefix(self, env: dict[str, str]) -> None:
        """What a new prefix gets beyond the desktop."""

    # -- lifetime ---------------------------------------------------------------------------

    def open(self) -> None:
        missing = [tool for tool in ("wine", "wineserver", "wineboot", "Xvfb", "xdotool",
                                     "import", "convert") if shutil.which(tool) is None]
        if missing:
            raise RuntimeError(f"the e2e bench needs these programs: {', '.join(missing)}")
        for exe in (self.config.tray_exe, self.config.tool("traytool"),
                    self.config.tool("shell-standin"), self.config.tool("record-args")):
            if not exe.is_file():
                raise RuntimeError(f"{exe} is missing: build the project first")
        self.config.artifacts.mkdir(parents=True, exist_ok=True)
        self.config.work_root.mkdir(parents=True, exist_ok=True)
        self._take_bench()
        self.desktop.open(self._setup_prefix)
        self.screen.display = self.display.name

    def close(self) -> None:
        self.programs.end_all()
        self.desktop.close()
        if self._lock is not None:
            self._lock.close()
            self._lock = None

    def _take_bench(self, timeout: float = 240.0) -> None:
        """One session per build tree at a time: a second one would kill the first one's
        programs when it resets the shared prefix. The lock goes with the process."""
        self._lock = open(self.config.build_dir / "e2e-bench.lock", "a+")
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    self._lock.seek(0)
                    holder = self._lock.read().strip()
                    raise RuntimeError(f"the e2e bench of {self.config.build_dir} is still in "
                                       f"use after {timeout:.0f} s (by {holder})") from None
                time.sleep(0.5)
        self._lock.truncate(0)
        self._lock.write(f"pid {os.getpid()}\n")
        self._lock.flush()

    def fresh_desktop(self) -> None:
        """Ends every Windows program of the prefix; the next one to start brings a new
        desktop with an empty notification area."""
        self.programs.end_all()
        self.desktop.renew()
        self.screen.display = self.display.name
        self.display.reset_focus()

    def begin_test(self, test_id: str) -> Path:
        """A clean work folder for one test; its name also prefixes the test's screenshots."""
        self.test_name = test_id.split(".", 1)[-1].replace(".", "-")
        self.work = self.config.work_root / self.test_name
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.programs.work = self.work
        self.screen.test_name = self.test_name
        return self.work

    def end_programs(self) -> None:
        self.programs.end_all()

    def env(self, extra: Mapping[str, str] | None = None) -> dict[str, str]:
        return self.prefix.env(extra)

    # -- the programs of a test ---------------------------------------------------------------

    def start_standin(self, *extra: str, forward: bool = True, refuse_add: int = 0,
                      refuse_modify: int = 0) -> Standin:
        """Puts shell-standin in front of the desktop's notification area. With forward, each
        request is also passed on, so the icon is really drawn too; extra are further options of
        the stand-in (tests/e2e/README.md)."""
        log = self.work / "shell-requests.jsonl"
        args = ["--log", windows_path(log)]
        if forward:
            args.append("--forward")
        if refuse_add:
            args += ["--refuse-add", str(refuse_add)]
        if refuse_modify:
            args += ["--refuse-modify", str(refuse_modify)]
        args += extra
        program = self.programs.start(self.config.tool("shell-standin"), *args,
                                      name="shell-standin")
        program.wait_for_output("ready ")
        return Standin(program, log)

    def tray_args(self, *, mutex: str, state: Path, seen: Path, pythonw: Path | None = None,
                  launcher: Path | None = None) -> list[str]:
        pythonw = pythonw or self.config.tool("record-args")
        launcher = launcher or self.work / "launcher.py"
        return ["--mutex", mutex, "--state", windows_path(state), "--seen", windows_path(seen),
                "--pythonw", windows_path(pythonw), "--launcher", windows_path(launcher)]

    def start_tray(self, args: Sequence[str], env: Mapping[str, str] | None = None) -> Program:
        return self.programs.start(self.config.tray_exe, *args, name="vestrel-tray", env=env)

    def start_watched_tray(self, args: Sequence[str],
                           env: Mapping[str, str] | None = None) -> tuple[Program, dict[str, int]]:
        """The program, its window once it is there (the one titled with its mutex name, so that
        another program beside it is not taken for it), and a watch on its exit code."""
        tray = self.start_tray(args, env)
        mutex = list(args)[list(args).index("--mutex") + 1] if "--mutex" in args else None
        window = self.traytool.wait_for_window(title=mutex)
        self.traytool.watch_exit(tray, window["pid"])
        return tray, window


# ---------------------------------------------------------------------------------------------
# Base class of the tests


class TrayTestCase(unittest.TestCase):
    """Each test: a fresh desktop and work folder; afterwards everything it started is ended
    (the program gets a WM_CLOSE first, so it can remove its icon) and a last screenshot is
    kept.

    The kit that every suite uses, so that none keeps a copy of its own:
      paths         work, state_path, seen_path, launches_path (what record-args writes), and
                    pythonw and launcher, which the program is told to start
      the companion write_state() and write_bad_state(): its state file, kept fresh to the end
      the programs  start_standin(), start_tray(), start_tray_until_loop(), restart_tray(),
                    wait_for_message_loop(), assert_tray_ended()
      the launcher  starts(), wait_for_starts(), launch_line(), copy_recorder()

    A suite whose tests share one desktop makes it in setUpClass and overrides setUp with
    begin_work() alone."""

    session: WineSession
    work: Path
    standin: Standin
    tray: Program
    window: dict[str, int]
    # The program's single-instance mutex; a suite may name its own.
    MUTEX = "vestrel-e2e"
    # The pid of the live process that the state file names; a suite whose tests share one
    # desktop may set it once for all of them.
    companion_pid: int | None = None

    def setUp(self) -> None:
        self.session = current_session()
        self.session.fresh_desktop()
        self.begin_work()
        self.addCleanup(self._end_test)

    def begin_work(self) -> None:
        """A fresh work folder for this test, and the paths of its files in it."""
        self.work = self.session.begin_test(self.id())
        # Cleanups run last first: the work folder is kept after the programs have ended.
        self.addCleanup(self._keep_work_if_failed)
        self.state_path = self.work / "state.ini"
        self.seen_path = self.work / "seen.ini"
        self.launches_path = self.work / "started.log"
        self.pythonw = self.session.config.tool("record-args")
        self.launcher = self.work / "launcher.py"
        self.companion: CompanionState | None = None

    def _failed(self) -> bool:
        """Whether this test (or one of its subtests) has failed or raised so far."""
        result = getattr(getattr(self, "_outcome", None), "result", None)
        problems = list(getattr(result, "failures", [])) + list(getattr(result, "errors", []))
        return any(getattr(test, "test_case", test) is self for test, _ in problems)

    def _keep_work_if_failed(self) -> None:
        """A failed test's work folder (what its programs printed, the stand-in's log, its
        files) and the wineserver's log go to <build>/failed-tests/, where no later run removes
        them: the next run of the test starts with an empty work folder."""
        if not self._failed():
            return
        config = self.session.config
        kept = (config.build_dir / "failed-tests" /
                f"{time.strftime('%Y%m%d-%H%M%S')}-{self.work.name}")
        shutil.copytree(self.work, kept, dirs_exist_ok=True)
        server_log = config.work_root / "wineserver.log"
        if server_log.exists():
            shutil.copy2(server_log, kept / "wineserver.log")
        print(f"[the work folder of {self.id()} is kept in {kept}]", file=sys.stderr)

    def _end_test(self) -> None:
        try:
            self.session.screen.screenshot("end")
        except (subprocess.SubprocessError, OSError) as error:
            # The test's own outcome matters more than its last picture.
            print(f"no final screenshot: {error}", file=sys.stderr)
        finally:
            self.session.end_programs()

    # -- the companion's state file -----------------------------------------------------------

    def live_companion_pid(self) -> int:
        """The pid of a live Windows process, as a running companion writes it into the state
        file; the same one for the whole test."""
        if self.companion_pid is None:
            _, self.companion_pid = self.session.traytool.hold()
        return self.companion_pid

    def write_state(self, *, labels: Mapping[str, str] | None = None,
                    notices: Sequence[Mapping[str, str]] | None = None,
                    status: str | None = None, role: str | None = None,
                    rtl: bool | None = None, pid: int | None = None) -> CompanionState:
        """The state file of a running companion at state_path, written by the package: the
        first call writes what it is given (and the pid of a live process unless given) and keeps
        it fresh until the test ends; a later call changes what it is given (notices replace the
        listed ones) and keeps the rest. Written when this returns."""
        changes: dict[str, Any] = {key: value for key, value in dict(
            labels=labels, notices=notices, status=status, role=role, rtl=rtl, pid=pid).items()
            if value is not None}
        if self.companion is None:
            changes.setdefault("pid", self.live_companion_pid())
            return self._begin_companion(Companion(**changes))
        self.companion.say(dataclasses.replace(self.companion.companion, **changes))
        return self.companion

    def write_bad_state(self, render: Callable[[int], bytes]) -> None:
        """A state file that the package refuses to write: render(heartbeat), bytes of the raw
        codec (profiles.py), rewritten with a fresh heartbeat until the test ends or until
        write_state() is called. Written when this returns."""
        if self.companion is None:
            self._begin_companion(Companion(pid=self.live_companion_pid()), render)
        else:
            self.companion.say_bad(render)

    def _begin_companion(self, companion: Companion,
                         bad: Callable[[int], bytes] | None = None) -> CompanionState:
        state = CompanionState(self.state_path, companion, bad)
        self.companion = state.start()
        self.addCleanup(state.stop)
        return state

    # -- the programs of a test -----------------------------------------------------------------

    def start_standin(self, *extra: str, forward: bool = True, refuse_add: int = 0,
                      refuse_modify: int = 0) -> Standin:
        """shell-standin in front of the notification area (WineSession.start_standin), as
        self.standin."""
        self.standin = self.session.start_standin(*extra, forward=forward, refuse_add=refuse_add,
                                                  refuse_modify=refuse_modify)
        return self.standin

    def tray_args(self) -> list[str]:
        """The program's command line for this test's files."""
        return self.session.tray_args(mutex=self.MUTEX, state=self.state_path,
                                      seen=self.seen_path, pythonw=self.pythonw,
                                      launcher=self.launcher)

    def start_tray(self, args: Sequence[str] | None = None, *,
                   record_starts: bool = True) -> Program:
        """Starts the program (on tray_args() unless args are given) and waits for its window,
        with a watch on its exit code: self.tray and self.window. With record_starts, record-args
        writes each of its starts by the program (as the interpreter or a handler of the shell)
        to launches_path; without, to record-args.log beside the copy that was started."""
        self._tray_start = (list(self.tray_args() if args is None else args), record_starts)
        env = {"VESTREL_RECORD_FILE": windows_path(self.launches_path)} if record_starts else None
        self.tray, self.window = self.session.start_watched_tray(self._tray_start[0], env)
        return self.tray

    def start_tray_until_loop(self, args: Sequence[str] | None = None, *,
                              record_starts: bool = True) -> int:
        """start_tray(), then wait_for_message_loop(); gives the stand-in's count of requests
        from before the start."""
        mark = self.standin.count()
        self.start_tray(args, record_starts=record_starts)
        self.wait_for_message_loop(mark)
        return mark

    def wait_for_message_loop(self, mark: int) -> None:
        """Returns once the program, started after the stand-in's mark, has finished its
        start-up and waits in its message loop: a posted tick is handled only from there, and
        start-up itself never modifies the icon's tooltip (it adds the icon). From then on a
        message sent to it is handled on its own, not inside a request of start-up."""
        self.session.traytool.tick()
        self.standin.wait_for(lambda r: r["op"] == "modify" and bool(r["uFlags"] & NIF_TIP),
                              "the first tick of the message loop", after=mark, timeout=60)

    def restart_tray(self) -> int:
        """Closes the program, sees it end with 0, and starts it again on the same command line
        until its message loop runs; gives the stand-in's count of requests from before the
        start."""
        args, record_starts = self._tray_start
        self.session.traytool.close()
        self.assert_tray_ended(self.tray)
        return self.start_tray_until_loop(args, record_starts=record_starts)

    def assert_tray_ended(self, tray: Program, timeout: float = DEFAULT_TIMEOUT) -> None:
        code = self.session.traytool.exit_code(tray, timeout)
        self.assertEqual(code, 0, f"exit code; stderr: {tray.stderr()!r}")

    # -- what the program starts ----------------------------------------------------------------

    def copy_recorder(self, path: Path) -> Path:
        """A copy of record-args at path (its folders made), to stand in for a program there."""
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.session.config.tool("record-args"), path)
        return path

    def starts(self) -> list[str]:
        """The command lines that record-args wrote to launches_path, one per start."""
        return record_lines(self.launches_path)

    def wait_for_starts(self, count: int, timeout: float = 30.0) -> list[str]:
        """starts(), once there are at least count."""
        def enough() -> list[str] | None:
            starts = self.starts()
            return starts if len(starts) >= count else None
        found: list[str] = wait_until(enough, f"{count} programs started by the tray program",
                                      timeout=timeout)
        return found

    def launch_line(self, screen: str = "") -> str:
        """The command line with which the program starts the companion: the interpreter, -I,
        the launcher, and --screen NAME for a screen."""
        line = f'"{windows_path(self.pythonw)}" -I "{windows_path(self.launcher)}"'
        return line + (f" --screen {screen}" if screen else "")
