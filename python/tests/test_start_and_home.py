"""Starting the tray on Windows, run on any machine: the starts that Windows refuses or that end
at once, another tray holding the mutex, and the tray's home (the copy that runs, its update
while the old tray runs, its removal).

A small Windows of the test's own stands in for the system: processes that start, take the
mutex, show their window after a moment, end on WM_CLOSE, and keep their program file from
being replaced or removed while they run and for a moment after (as Windows does); a clock that
moves only when the package waits. Files are real, in the test's folder."""

from __future__ import annotations

import ctypes
import logging
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Type, cast

import pytest

from vestrel_tray import TrayStartError, _windows, remove_tray_home, start_tray
from vestrel_tray.__main__ import main
from vestrel_tray._windows import System, TrayProcess, WindowsApi

MUTEX = "Local\\VestrelTray"
WINDOW_CLASS = "VestrelTrayWindow"
WM_CLOSE = 0x0010
ERROR_FILE_NOT_FOUND = 2
# A new tray's window is there this long after its start; a tray asked to end ends this long
# after; Windows holds its program file this long after it ended.
WINDOW_DELAY = 0.2
END_DELAY = 0.3
HOLD_AFTER_END = 0.4


@dataclass
class Process:
    """A process of the fake Windows: the program it runs (path and bytes at its start)."""
    world: "FakeWindows"
    pid: int
    program: str
    image: bytes
    ends_at: Optional[float] = None
    exit_code: int = 0
    already_running: bool = False

    def poll(self) -> Optional[int]:
        if self.ends_at is not None and self.world.now >= self.ends_at:
            return self.exit_code
        return None


@dataclass
class Behaviour:
    """What the next program started does: refuse (Windows' error), end at once with a code, or
    run as a tray; a tray that ignores WM_CLOSE never ends."""
    refuse: Optional[OSError] = None
    exit_code: Optional[int] = None
    ignores_close: bool = False
    shows_window: bool = True


@dataclass
class Window:
    handle: int
    title: str
    pid: int
    window_class: str = WINDOW_CLASS


class FakeWindows(System):
    def __init__(self) -> None:
        self.now = 0.0
        self.processes: List[Process] = []
        self.open_windows: List[Window] = []
        self.mutexes: Dict[str, int] = {}  # name: the pid that holds it
        self.held: Dict[str, Tuple[int, float]] = {}  # program file: (pid, held until)
        self.events: List[str] = []
        self.next: List[Behaviour] = []
        self.disk_full = False
        self._timers: List[Tuple[float, Callable[[], None]]] = []
        self._on_close: Dict[int, Callable[[], None]] = {}  # window: what WM_CLOSE does
        self._handles = 0x100

    # -- System ----------------------------------------------------------------------------

    @property
    def windows(self) -> bool:
        return True

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.now += seconds
        due = sorted((t for t in self._timers if t[0] <= self.now), key=lambda t: t[0])
        self._timers = [t for t in self._timers if t[0] > self.now]
        for _, action in due:
            action()

    def after(self, delay: float, action: Callable[[], None]) -> None:
        self._timers.append((self.now + delay, action))

    def start(self, command: Sequence[str], *, cwd: str, creationflags: int) -> TrayProcess:
        behaviour = self.next.pop(0) if self.next else Behaviour()
        if behaviour.refuse is not None:
            self.events.append(f"refused {command[0]}")
            raise behaviour.refuse
        process = Process(self, 1000 + len(self.processes), command[0],
                          Path(command[0]).read_bytes())
        self.processes.append(process)
        self.events.append(f"start {process.pid} {command[0]}")
        mutex = command[command.index("--mutex") + 1]
        if behaviour.exit_code is not None:
            self._end(process, behaviour.exit_code, at_once=True)
        elif mutex in self.mutexes:
            self._end(process, 0, at_once=True)
        else:
            self.mutexes[mutex] = process.pid
            self.held[command[0]] = (process.pid, float("inf"))
            if behaviour.shows_window:
                self.after(WINDOW_DELAY, lambda: self._show(process, mutex, behaviour))
        return cast(TrayProcess, process)

    def _show(self, process: Process, mutex: str, behaviour: Behaviour) -> None:
        self._handles += 1
        window = Window(self._handles, mutex, process.pid)
        self.open_windows.append(window)
        window_close = (lambda: None) if behaviour.ignores_close else (
            lambda: self.after(END_DELAY, lambda: self._close(process, window, mutex)))
        self._on_close[window.handle] = window_close

    def _close(self, process: Process, window: Window, mutex: str) -> None:
        self.open_windows.remove(window)
        del self.mutexes[mutex]
        self._end(process, 0)

    def _end(self, process: Process, code: int, at_once: bool = False) -> None:
        process.ends_at, process.exit_code = self.now + (0.05 if at_once else 0), code
        self.events.append(f"end {process.pid} {code}")
        if self.held.get(process.program, (0, 0.0))[0] == process.pid:
            self.held[process.program] = (process.pid, self.now + HOLD_AFTER_END)

    def running(self) -> List[Process]:
        return [p for p in self.processes if p.poll() is None]

    def is_held(self, path: str) -> bool:
        holder = self.held.get(os.path.abspath(path))
        return holder is not None and self.now < holder[1]

    # -- the ctypes calls -----------------------------------------------------------------

    def FindWindowExW(self, parent: Optional[int], after: Optional[int],
                      class_name: Optional[str], window_name: Optional[str]) -> Optional[int]:
        handles = [w.handle for w in self.open_windows]
        start = 0 if after is None else handles.index(after) + 1
        for window in self.open_windows[start:]:
            if (class_name or "").lower() == window.window_class.lower() and (
                    window_name or "").lower() == window.title.lower():
                return window.handle
        return None

    def _window(self, handle: int) -> Window:
        return next(w for w in self.open_windows if w.handle == handle)

    def GetWindowTextW(self, window: int, buffer: ctypes.Array[ctypes.c_wchar],
                       size: int) -> int:
        buffer.value = self._window(window).title[:size - 1]
        return len(buffer.value)

    def PostMessageW(self, window: int, message: int, wparam: int, lparam: int) -> int:
        assert message == WM_CLOSE
        self.events.append(f"close {self._window(window).pid}")
        self._on_close[window]()
        return 1

    def GetWindowThreadProcessId(self, window: int, process_id: Any) -> int:
        process_id._obj.value = self._window(window).pid
        return 1

    def OpenMutexW(self, access: int, inherit: bool, name: str) -> Optional[int]:
        return 0x77 if name in self.mutexes else None

    # Starting and ending the tray look at no other process and let none come forward.
    def AllowSetForegroundWindow(self, process_id: int) -> int:
        raise AssertionError("no process is let come forward here")

    def OpenProcess(self, access: int, inherit: bool, process_id: int) -> Optional[int]:
        raise AssertionError("no process is opened here")

    def GetExitCodeProcess(self, process: int, exit_code: Any) -> int:
        raise AssertionError("no process is opened here")

    def CloseHandle(self, handle: int) -> int:
        return 1


@pytest.fixture
def world(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> FakeWindows:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    api = WindowsApi(user32=fake, kernel32=fake, last_error=lambda: ERROR_FILE_NOT_FOUND)
    monkeypatch.setattr(_windows, "windows_api", lambda: api)
    # Windows replaces or removes no program file that a process runs, nor for a moment after.
    real_replace, real_remove = os.replace, os.remove

    def replace(source: str, target: str) -> None:
        if fake.disk_full:
            raise OSError(28, "There is not enough space on the disk")
        if fake.is_held(target):
            fake.events.append("replace refused")
            raise PermissionError(13, "Access is denied", target)
        fake.events.append(f"replace {Path(target).name}")
        real_replace(source, target)

    def remove(path: str) -> None:
        if fake.is_held(path):
            raise PermissionError(13, "Access is denied", path)
        real_remove(path)

    monkeypatch.setattr(os, "replace", replace)
    monkeypatch.setattr(os, "remove", remove)
    monkeypatch.setattr(time, "sleep", fake.sleep)
    for name in ("pythonw.exe", "launch.py"):
        (tmp_path / name).write_bytes(b"")
    return fake


def program(tmp_path: Path, where: str, data: bytes) -> Path:
    """A program inside a Python's packages, as pip installs it."""
    path = tmp_path / where / "site-packages" / "vestrel_tray" / "vestrel-tray.exe"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def start(tmp_path: Path, exe: Path, *, home: Optional[Path] = None) -> TrayProcess:
    return start_tray(mutex=MUTEX, state=tmp_path / "state.ini", seen=tmp_path / "seen.ini",
                      pythonw=tmp_path / "pythonw.exe", launcher=tmp_path / "launch.py",
                      exe=exe, home=home)


def messages(caplog: pytest.LogCaptureFixture) -> List[Tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records]


# -- the start and its outcome ---------------------------------------------------------------


def test_start_returns_once_its_own_window_is_there(world: FakeWindows, tmp_path: Path) -> None:
    # Another program's window with the tray's title is not the new tray's.
    world.open_windows.append(Window(0x50, MUTEX, pid=7))
    tray = start(tmp_path, program(tmp_path, "py311", b"v1"))
    assert tray.poll() is None and not tray.already_running
    assert world.now == pytest.approx(WINDOW_DELAY, abs=0.06)


def test_a_tray_without_a_window_is_given_the_whole_timeout(world: FakeWindows,
                                                            tmp_path: Path) -> None:
    world.next = [Behaviour(shows_window=False)]
    tray = start(tmp_path, program(tmp_path, "py311", b"v1"))
    assert tray.poll() is None
    assert world.now == pytest.approx(5.0, abs=0.06)


def test_another_tray_holding_the_mutex_is_no_error(world: FakeWindows, tmp_path: Path,
                                                    caplog: pytest.LogCaptureFixture) -> None:
    exe = program(tmp_path, "py311", b"v1")
    first = start(tmp_path, exe)
    caplog.set_level(logging.INFO, logger="vestrel_tray")
    second = start(tmp_path, exe)
    assert (second.already_running, second.poll()) == (True, 0)
    assert first.poll() is None and not first.already_running
    assert messages(caplog) == [("INFO", f"another tray holds the mutex {MUTEX} (or no mutex of "
                                         f"that name can be made): that tray stays, and {exe} "
                                         "ended at once")]


@pytest.mark.parametrize("code, reason, words", [
    (2, "bad_command_line", ["exit code 2", "an option of its command line was missing or "
                             "empty", "do not match"]),
    (3, "no_window", ["exit code 3", "could not create its hidden window", "signed-in user"]),
    (0xC0000428, "smart_app_control", ["0xc0000428", "STATUS_INVALID_IMAGE_HASH",
                                       "code integrity", "certificate of a trusted authority"]),
    (1, "ended", ["ended at once with exit code 1 (0x1)"]),
])
def test_an_end_at_once_says_what_the_code_means(world: FakeWindows, tmp_path: Path,
                                                 caplog: pytest.LogCaptureFixture, code: int,
                                                 reason: str, words: List[str]) -> None:
    exe = program(tmp_path, "py311", b"v1")
    world.next = [Behaviour(exit_code=code)]
    with pytest.raises(TrayStartError) as raised:
        start(tmp_path, exe)
    error = raised.value
    assert (error.reason, error.exit_code, error.windows_error, error.program) == (
        reason, code, None, str(exe))
    assert isinstance(error, OSError)
    for word in words:
        assert word in str(error)
    assert messages(caplog) == [("ERROR", f"the tray was not started: {error}")]


def refusal(winerror: int, text: str, kind: Type[OSError] = OSError) -> OSError:
    """An OSError as Python raises it on Windows when CreateProcess fails (its winerror set)."""
    error = kind(22, text)
    setattr(error, "winerror", winerror)
    return error


# Windows' refusals of CreateProcess: (error, reason, words the message must carry).
REFUSALS = [
    (refusal(4551, "An Application Control policy has blocked this file"), "smart_app_control",
     ["application control policy blocked it", "Windows error 4551",
      "certificate of a trusted authority", "administrators can allow"]),
    (refusal(4580, "Smart App Control blocked"), "smart_app_control",
     ["no signature it trusts and no reputation", "turned off as a whole"]),
    (refusal(4559, "offline"), "smart_app_control", ["could not reach", "online"]),
    (refusal(1260, "This program is blocked by group policy"), "blocked_by_policy",
     ["policy of this computer blocks it", "Windows error 1260", "administrator"]),
    (refusal(225, "the file contains a virus"), "quarantined",
     ["antivirus", "quarantine", "--force-reinstall"]),
    (refusal(226, "the file was deleted"), "quarantined", ["removed it", "quarantine"]),
    (refusal(2, "The system cannot find the file specified", FileNotFoundError), "missing",
     ["not there", "reinstall"]),
    (refusal(193, "%1 is not a valid Win32 application"), "not_a_program",
     ["not a program for this Windows", "win_amd64"]),
    (refusal(216, "machine type mismatch"), "not_a_program", ["64-bit Windows"]),
    (refusal(5, "Access is denied", PermissionError), "access_denied",
     ["denied running it", "antivirus"]),
    (refusal(1455, "The paging file is too small"), "refused",
     ["Windows refused it (Windows error 1455: The paging file is too small)"]),
]


@pytest.mark.parametrize("error, reason, words", REFUSALS)
def test_a_refused_start_names_the_cause_and_the_remedy(
        world: FakeWindows, tmp_path: Path, caplog: pytest.LogCaptureFixture, error: OSError,
        reason: str, words: List[str]) -> None:
    exe = program(tmp_path, "py311", b"v1")
    # Access denied is also a job that forbids breaking away: the second start says it.
    world.next = [Behaviour(refuse=error), Behaviour(refuse=error)]
    with pytest.raises(TrayStartError) as raised:
        start(tmp_path, exe)
    assert raised.value.reason == reason
    assert raised.value.windows_error == getattr(error, "winerror")
    assert raised.value.__cause__ is error
    assert str(raised.value).startswith(f"the tray program {exe} did not start: ")
    for word in words:
        assert word in str(raised.value)
    assert messages(caplog)[-1] == ("ERROR", f"the tray was not started: {raised.value}")
    assert world.processes == []


# -- the home ----------------------------------------------------------------------------------


def test_the_home_copy_runs_and_keeps_its_path_across_pythons(world: FakeWindows,
                                                              tmp_path: Path) -> None:
    home = tmp_path / "LocalAppData" / "Vestrel" / "tray"
    copy = home / "vestrel-tray.exe"
    tray = start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    assert cast(Process, tray).program == str(copy)
    assert copy.read_bytes() == b"v1"
    assert world.events == ["replace vestrel-tray.exe", f"start 1000 {copy}"]
    # The application moves to another Python with the same package: nothing is written, and
    # the start finds the tray running from the same path.
    world.events.clear()
    again = start(tmp_path, program(tmp_path, "venv-3.12", b"v1"), home=home)
    assert again.already_running
    assert world.events == [f"start 1001 {copy}", "end 1001 0"]
    assert sorted(os.listdir(home)) == ["vestrel-tray.exe"]


def test_an_update_ends_the_old_tray_then_replaces_its_copy(
        world: FakeWindows, tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    home = tmp_path / "tray"
    copy = home / "vestrel-tray.exe"
    old = start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    world.events.clear()
    caplog.set_level(logging.INFO, logger="vestrel_tray")

    new = start(tmp_path, program(tmp_path, "py312", b"v2 signed"), home=home)

    assert old.poll() == 0
    assert cast(Process, new).image == b"v2 signed" and new.poll() is None
    assert world.running() == [cast(Process, new)]
    # Asked to end, gone, the file refused while Windows still held it, then replaced and the
    # new program started from the same path.
    refused = world.events.count("replace refused")
    assert refused >= 1
    assert world.events == (["close 1000", "end 1000 0"] + ["replace refused"] * refused
                            + ["replace vestrel-tray.exe", f"start 1001 {copy}"])
    assert copy.read_bytes() == b"v2 signed"
    assert sorted(os.listdir(home)) == ["vestrel-tray.exe"]
    logged = [text for _, text in messages(caplog)]
    assert logged[0] == (f"the tray {MUTEX} runs an older copy of {copy}: asking it to end "
                         "before the copy is replaced")
    assert f"replaced {copy} at attempt {refused + 1} of 100: a reader held it before" in logged


def test_a_copy_that_differs_without_a_tray_is_replaced_at_once(world: FakeWindows,
                                                                tmp_path: Path) -> None:
    home = tmp_path / "tray"
    home.mkdir()
    (home / "vestrel-tray.exe").write_bytes(b"damaged")
    tray = start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    assert cast(Process, tray).image == b"v1"
    assert world.events == ["replace vestrel-tray.exe", f"start 1000 {home / 'vestrel-tray.exe'}"]


def test_an_old_tray_that_does_not_end_keeps_its_copy(world: FakeWindows, tmp_path: Path,
                                                      caplog: pytest.LogCaptureFixture) -> None:
    home = tmp_path / "tray"
    world.next = [Behaviour(ignores_close=True)]
    old = start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    with pytest.raises(TrayStartError) as raised:
        start(tmp_path, program(tmp_path, "py312", b"v2"), home=home)
    assert raised.value.reason == "old_tray_runs"
    assert "did not end within 10 s" in str(raised.value)
    assert (home / "vestrel-tray.exe").read_bytes() == b"v1"
    assert world.running() == [cast(Process, old)] and len(world.processes) == 1
    assert messages(caplog)[-1] == ("ERROR", f"the tray was not started: {raised.value}")


def test_a_home_that_cannot_be_written_is_a_start_error(world: FakeWindows,
                                                        tmp_path: Path) -> None:
    world.disk_full = True
    home = tmp_path / "tray"
    with pytest.raises(TrayStartError) as raised:
        start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    assert raised.value.reason == "home"
    assert str(raised.value) == (f"the tray's home {home}: the copy could not be written "
                                 "([Errno 28] There is not enough space on the disk)")
    assert world.processes == [] and os.listdir(home) == []


def test_remove_ends_the_tray_and_takes_the_copy_and_the_folder(world: FakeWindows,
                                                                tmp_path: Path) -> None:
    home = tmp_path / "tray"
    tray = start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    (home / ".vestrel-tray.exe.abc123.tmp").write_bytes(b"left by a killed copy")
    assert remove_tray_home(home, mutex=MUTEX) is True
    assert tray.poll() == 0 and "close 1000" in world.events
    assert not home.exists()
    assert remove_tray_home(home, mutex=MUTEX) is False


def test_remove_keeps_a_folder_with_other_files(world: FakeWindows, tmp_path: Path) -> None:
    home = tmp_path / "Vestrel"
    start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    (home / "vestrel.log").write_text("kept")
    assert remove_tray_home(home, mutex=MUTEX) is True
    assert sorted(os.listdir(home)) == ["vestrel.log"]


def test_remove_command_for_an_uninstaller(world: FakeWindows, tmp_path: Path,
                                           capsys: pytest.CaptureFixture[str]) -> None:
    home = tmp_path / "tray"
    world.next = [Behaviour(ignores_close=True)]
    start(tmp_path, program(tmp_path, "py311", b"v1"), home=home)
    assert main(["remove-home", str(home), "--mutex", MUTEX]) == 1
    assert "did not end within 10 s" in capsys.readouterr().err
    assert (home / "vestrel-tray.exe").exists()

    world.open_windows.clear()
    world.mutexes.clear()
    world.held.clear()
    assert main(["remove-home", str(home), "--mutex", MUTEX]) == 0
    assert capsys.readouterr().out == f"{home}: removed\n"
    assert not home.exists()
