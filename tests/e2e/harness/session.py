"""The bench's session: the real tray program under Wine, in a virtual desktop on Xvfb.

The session keeps its own Wine prefix in the build tree (created once, with the default virtual
desktop of 1024x768), starts a private X server on a free display and a persistent wineserver,
starts Windows programs in the background, drives the desktop with xdotool and keeps screenshots
in <build>/e2e-artifacts/.

A test module calls main(); each test gets a fresh desktop (wineserver -k ends every Windows
process of the prefix, the icons with them) and a fresh work folder. Everything the bench starts
is ended when a test ends, also when it fails, and when the run itself is killed: the X server,
the wineserver and the Windows programs die with this process. One session per build tree runs
at a time (a lock file in the build tree); a second one waits for the first.
"""

from __future__ import annotations

import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path
from typing import IO, Any, Mapping, Sequence

from .companion import CompanionState
from .config import BenchConfig, parse_config
from .prefix import Registry, WinePrefix, windows_path
from .programs import Program, Programs
from .screen import Screen
from .shell import Standin
from .traytool import TrayTool
from .waiting import DEFAULT_TIMEOUT
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
        self.prefix = WinePrefix(config.prefix, config.work_root / "wineserver.log")
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
        self.prefix.ensure(self._setup_prefix)
        self.display.start()
        self.prefix.display = self.screen.display = self.display.name
        self.prefix.start_server()

    def close(self) -> None:
        self.programs.end_all()
        self.prefix.stop_server()
        self.display.stop()
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
        self.prefix.stop_server()
        self.display.ensure_running()
        self.prefix.display = self.screen.display = self.display.name
        self.prefix.start_server()
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

    def start_standin(self, *, forward: bool = True, refuse_add: int = 0,
                      refuse_modify: int = 0) -> Standin:
        """Puts shell-standin in front of the desktop's notification area. With forward, each
        request is also passed on, so the icon is really drawn too."""
        log = self.work / "shell-requests.jsonl"
        args = ["--log", windows_path(log)]
        if forward:
            args.append("--forward")
        if refuse_add:
            args += ["--refuse-add", str(refuse_add)]
        if refuse_modify:
            args += ["--refuse-modify", str(refuse_modify)]
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
        """The program, its window once it is there, and a watch on its exit code."""
        tray = self.start_tray(args, env)
        window = self.traytool.wait_for_window()
        self.traytool.watch_exit(tray, window["pid"])
        return tray, window


# ---------------------------------------------------------------------------------------------
# Base class of the tests


class TrayTestCase(unittest.TestCase):
    """Each test: a fresh desktop and work folder; afterwards everything it started is ended
    (the program gets a WM_CLOSE first, so it can remove its icon) and a last screenshot is
    kept."""

    session: WineSession
    work: Path

    def setUp(self) -> None:
        self.session = current_session()
        self.session.fresh_desktop()
        self.work = self.session.begin_test(self.id())
        self.addCleanup(self._end_test)

    def _end_test(self) -> None:
        try:
            self.session.screen.screenshot("end")
        except (subprocess.SubprocessError, OSError) as error:
            # The test's own outcome matters more than its last picture.
            print(f"no final screenshot: {error}", file=sys.stderr)
        finally:
            self.session.end_programs()

    # Shortcuts that most tests need.

    def live_companion_pid(self) -> int:
        """The pid of a live process, as a running companion writes it into the state file."""
        _, pid = self.session.traytool.hold()
        return pid

    def companion_state(self, path: Path, pid: int | None, **fields: Any) -> CompanionState:
        """The state file of a running companion, kept fresh until the test ends."""
        state = CompanionState(path, pid, **fields).start()
        self.addCleanup(state.stop)
        return state

    def start_running_tray(self, labels: Mapping[str, str], *, mutex: str = "vestrel-e2e",
                           pid: int | None = None,
                           **state: Any) -> tuple[Program, dict[str, int], CompanionState]:
        """The program with the state file of a running companion; returns it, its window and
        the state file."""
        companion = self.companion_state(
            self.work / "state.ini", pid if pid is not None else self.live_companion_pid(),
            labels=labels, **state)
        tray, window = self.session.start_watched_tray(self.session.tray_args(
            mutex=mutex, state=companion.path, seen=self.work / "seen.ini"))
        return tray, window, companion

    def assert_tray_ended(self, tray: Program, timeout: float = DEFAULT_TIMEOUT) -> None:
        code = self.session.traytool.exit_code(tray, timeout)
        self.assertEqual(code, 0, f"exit code; stderr: {tray.stderr()!r}")
