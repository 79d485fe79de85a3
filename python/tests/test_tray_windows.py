"""The Windows side of starting, finding and ending the tray, and of letting the running
instance come forward, run on any machine: a Windows of
the test's own stands in for the system (paths, files, process start) and for the ctypes
functions of user32 and kernel32, with the behaviour of the real ones that the package relies
on (FindWindowExW ignores letter case in titles, mutex names do not)."""

from __future__ import annotations

import ctypes
import logging
import ntpath
import subprocess
import sys
import time
import warnings
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, cast

import pytest

from vestrel_tray import (ContractError, TrayStartError, _windows, allow_foreground,
                          close_tray, let_running_instance_come_forward, running_instance,
                          start_tray, tray_command, tray_running)
from vestrel_tray._state_file import encode_profile
from vestrel_tray._windows import (CREATE_BREAKAWAY_FROM_JOB, CREATE_NEW_PROCESS_GROUP,
                                   DETACHED_PROCESS, PROCESS_QUERY_LIMITED_INFORMATION,
                                   STILL_ACTIVE, System, TrayProcess, WindowsApi)

CWD = "C:\\Users\\dev\\Vestrel"
PROGRAM = "C:\\Program Files\\Vestrel\\vestrel-tray.exe"
PYTHONW = "C:\\Python311\\pythonw.exe"
LAUNCHER = "C:\\Users\\dev\\Vestrel\\launch.py"
ARGUMENTS: Dict[str, Any] = dict(mutex="Local\\VestrelTray", state="tray\\state.ini",
                                 seen="tray-seen.ini", pythonw=PYTHONW, launcher="launch.py",
                                 exe=PROGRAM)
WM_CLOSE = 0x0010


class StartedTray:
    """What the fake start returns: a tray that runs, and whose window (TRAY_WINDOW) is there."""

    pid = 4242
    already_running = False

    def poll(self) -> Optional[int]:
        return None


STARTED = cast(TrayProcess, StartedTray())
TRAY_WINDOW = (0x99, "VestrelTrayWindow", "Local\\VestrelTray")


class FakeWindows(System):
    """Windows paths (from CWD) and files (letter case ignored), and a process start that is
    recorded; a job that forbids breaking away refuses that flag as Windows does."""

    def __init__(self, files: Iterable[str] = (PROGRAM, PYTHONW, LAUNCHER)) -> None:
        self.files = {name.lower() for name in files}
        self.starts: List[Tuple[List[str], str, int]] = []
        self.job_forbids_breakaway = False

    @property
    def windows(self) -> bool:
        return True

    def absolute(self, path: str) -> str:
        return ntpath.normpath(ntpath.join(CWD, path))

    def folder(self, path: str) -> str:
        return ntpath.dirname(path)

    def is_file(self, path: str) -> bool:
        return path.lower() in self.files

    def start(self, command: Sequence[str], *, cwd: str, creationflags: int) -> TrayProcess:
        self.starts.append((list(command), cwd, creationflags))
        if self.job_forbids_breakaway and creationflags & CREATE_BREAKAWAY_FROM_JOB:
            raise PermissionError(13, "Access is denied")
        return STARTED


@pytest.fixture
def system(monkeypatch: pytest.MonkeyPatch) -> FakeWindows:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    user32, _ = fake_api(monkeypatch, [TRAY_WINDOW])
    user32.owners[TRAY_WINDOW[0]] = StartedTray.pid
    return fake


def test_command_has_windows_paths_from_the_current_folder(system: FakeWindows) -> None:
    assert tray_command(**ARGUMENTS) == [
        PROGRAM, "--mutex", "Local\\VestrelTray",
        "--state", "C:\\Users\\dev\\Vestrel\\tray\\state.ini",
        "--seen", "C:\\Users\\dev\\Vestrel\\tray-seen.ini",
        "--pythonw", PYTHONW, "--launcher", LAUNCHER]


@pytest.mark.parametrize("changes, message", [
    (dict(exe="C:\\Vestrel\\tray.exe"), r"^the program C:\\Vestrel\\tray.exe does not exist .*"
     "cannot start$"),
    (dict(pythonw="C:\\Python39\\pythonw.exe"), r"^pythonw C:\\Python39\\pythonw.exe does not "
     "exist .*could never start the application$"),
    (dict(launcher="app\\launch.py"), r"^launcher C:\\Users\\dev\\Vestrel\\app\\launch.py does "
     "not exist"),
    # A bare name is no search of PATH: the tray runs the interpreter from its path.
    (dict(pythonw="pythonw.exe"), r"^pythonw 'pythonw.exe': the tray runs the interpreter from "
     r"its path and never searches PATH, and C:\\Users\\dev\\Vestrel\\pythonw.exe does not "
     "exist; pass its full path, such as the pythonw.exe beside sys.executable$"),
])
def test_command_names_the_file_that_does_not_exist(system: FakeWindows,
                                                    changes: Dict[str, str],
                                                    message: str) -> None:
    with pytest.raises(ContractError, match=message):
        tray_command(**dict(ARGUMENTS, **changes))


def test_the_seen_and_state_files_need_not_exist_yet(system: FakeWindows) -> None:
    system.files = {PROGRAM.lower(), PYTHONW.lower(), LAUNCHER.lower()}
    assert tray_command(**dict(ARGUMENTS, state="new\\state.ini"))[4].endswith("new\\state.ini")


def test_start_runs_the_program_in_its_folder_out_of_the_job(system: FakeWindows) -> None:
    assert start_tray(**ARGUMENTS) is STARTED
    assert system.starts == [(tray_command(**ARGUMENTS), "C:\\Program Files\\Vestrel",
                              DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP
                              | CREATE_BREAKAWAY_FROM_JOB)]


def test_start_stays_in_a_job_that_forbids_breaking_away(
        system: FakeWindows, caplog: pytest.LogCaptureFixture) -> None:
    system.job_forbids_breakaway = True
    caplog.set_level(logging.INFO, logger="vestrel_tray")
    assert start_tray(**ARGUMENTS) is STARTED
    assert [flags for _, _, flags in system.starts] == [
        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB,
        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP]
    assert [record.getMessage() for record in caplog.records] == [
        "the tray could not leave the application's job ([Errno 13] Access is denied); it is "
        "started inside it and ends with it",
        f"started the tray Local\\VestrelTray: {PROGRAM} (process 4242)"]


def test_a_start_that_fails_otherwise_is_not_repeated(system: FakeWindows) -> None:
    system.files.add("c:\\tools\\missing.exe")
    refusal = FileNotFoundError(2, "The system cannot find the file specified")

    def start(command: Sequence[str], *, cwd: str, creationflags: int) -> TrayProcess:
        system.starts.append((list(command), cwd, creationflags))
        raise refusal

    system.start = start  # type: ignore[assignment]
    with pytest.raises(TrayStartError) as raised:
        start_tray(**dict(ARGUMENTS, exe="C:\\tools\\missing.exe"))
    assert raised.value.reason == "missing" and raised.value.__cause__ is refusal
    assert len(system.starts) == 1


# -- finding the tray ------------------------------------------------------------------------------


class FakeUser32:
    """Top-level windows, in their order: (handle, class, title)."""

    def __init__(self, windows: Sequence[Tuple[int, str, str]]) -> None:
        self.windows = list(windows)
        self.posted: List[Tuple[int, int, int, int]] = []
        self.post_fails = False
        self.owners: Dict[int, int] = {}  # window: the id of the process that made it
        self.allowed: List[int] = []  # processes let come forward
        # Windows refuses when the caller does not hold the foreground (ERROR_ACCESS_DENIED).
        self.allow_fails = False

    def FindWindowExW(self, parent: Optional[int], after: Optional[int],
                      class_name: Optional[str], window_name: Optional[str]) -> Optional[int]:
        assert parent is None, "the tray's window is a top-level window"
        handles = [handle for handle, _, _ in self.windows]
        start = 0 if after is None else handles.index(after) + 1
        for handle, window_class, title in self.windows[start:]:
            # Windows compares class names and titles without regard to letter case.
            if class_name is not None and window_class.lower() != class_name.lower():
                continue
            if window_name is not None and title.lower() != window_name.lower():
                continue
            return handle
        return None

    def GetWindowTextW(self, window: int, buffer: ctypes.Array[ctypes.c_wchar],
                       size: int) -> int:
        title = next(title for handle, _, title in self.windows if handle == window)
        copied = title[:size - 1]
        buffer.value = copied
        return len(copied)

    def PostMessageW(self, window: int, message: int, wparam: int, lparam: int) -> int:
        self.posted.append((window, message, wparam, lparam))
        return 0 if self.post_fails else 1

    def GetWindowThreadProcessId(self, window: int, process_id: Any) -> int:
        process_id._obj.value = self.owners.get(window, 0)
        return 1

    def AllowSetForegroundWindow(self, process_id: int) -> int:
        self.allowed.append(process_id)
        return 0 if self.allow_fails else 1


class FakeKernel32:
    """Named objects, by exact name: "mutex", "event" (another kind), or "denied" (a mutex
    that this process may not open)."""

    def __init__(self, objects: Dict[str, str]) -> None:
        self.objects = objects
        self.error = 0
        self.opened: List[Tuple[int, bool, str]] = []
        self.closed: List[int] = []
        self.processes: Dict[int, int] = {}  # process id: exit code (259 while it runs)

    def OpenMutexW(self, access: int, inherit: bool, name: str) -> Optional[int]:
        self.opened.append((access, inherit, name))
        kind = self.objects.get(name)
        if kind == "mutex":
            return 0x1234
        self.error = {None: 2, "denied": 5, "event": 6}.get(kind, 1450)
        return None

    def CloseHandle(self, handle: int) -> int:
        self.closed.append(handle)
        return 1

    def OpenProcess(self, access: int, inherit: bool, process_id: int) -> Optional[int]:
        assert access == PROCESS_QUERY_LIMITED_INFORMATION and not inherit
        if process_id not in self.processes:
            self.error = 87  # ERROR_INVALID_PARAMETER: no such process
            return None
        return 0x5000 + process_id

    def GetExitCodeProcess(self, process: int, exit_code: Any) -> int:
        exit_code._obj.value = self.processes[process - 0x5000]
        return 1


WINDOWS = [
    (0x10, "Notepad", "Local\\VestrelTray"),
    (0x20, "VestrelTrayWindow", "Local\\vestreltray"),  # another mutex: names keep their case
    (0x30, "VestrelTrayWindow", "Local\\OtherApp"),
    (0x40, "VestrelTrayWindow", "Local\\VestrelTray"),
]


def fake_api(monkeypatch: pytest.MonkeyPatch, windows: Sequence[Tuple[int, str, str]] = (),
             objects: Optional[Dict[str, str]] = None) -> Tuple[FakeUser32, FakeKernel32]:
    user32, kernel32 = FakeUser32(windows), FakeKernel32(objects or {})
    api = WindowsApi(user32=user32, kernel32=kernel32, last_error=lambda: kernel32.error)
    monkeypatch.setattr(_windows, "windows_api", lambda: api)
    return user32, kernel32


@pytest.mark.parametrize("mutex, closed", [
    ("Local\\VestrelTray", [0x40]),
    ("Local\\vestreltray", [0x20]),
    ("Local\\OtherApp", [0x30]),
    ("Local\\VestrelTra", []),
    ("VestrelTray", []),
])
def test_close_posts_only_to_the_window_of_the_class_with_exactly_that_title(
        monkeypatch: pytest.MonkeyPatch, mutex: str, closed: List[int]) -> None:
    user32, _ = fake_api(monkeypatch, WINDOWS)
    assert close_tray(mutex) is bool(closed)
    assert user32.posted == [(window, WM_CLOSE, 0, 0) for window in closed]


def test_close_says_when_the_message_could_not_be_posted(
        monkeypatch: pytest.MonkeyPatch) -> None:
    user32, _ = fake_api(monkeypatch, WINDOWS)
    user32.post_fails = True
    assert close_tray("Local\\OtherApp") is False
    assert user32.posted == [(0x30, WM_CLOSE, 0, 0)]


class PrefixUser32(FakeUser32):
    """A search that would take a title for the name it begins with."""

    def FindWindowExW(self, parent: Optional[int], after: Optional[int],
                      class_name: Optional[str], window_name: Optional[str]) -> Optional[int]:
        for handle, _, title in self.windows:
            if after is None and window_name is not None and title.startswith(window_name):
                return handle
        return None


def test_a_longer_title_is_never_taken_for_the_name(monkeypatch: pytest.MonkeyPatch) -> None:
    # The title is read one code unit beyond the name, so that it never compares equal.
    user32 = PrefixUser32([(0x50, "VestrelTrayWindow", "Local\\VestrelTray2")])
    api = WindowsApi(user32=user32, kernel32=FakeKernel32({}), last_error=lambda: 0)
    monkeypatch.setattr(_windows, "windows_api", lambda: api)
    assert close_tray("Local\\VestrelTray") is False
    assert user32.posted == []


@pytest.mark.parametrize("objects, running", [
    ({"Local\\VestrelTray": "mutex"}, True),
    ({"Local\\VestrelTray": "denied"}, True),  # held by a process this one may not open
    ({"Local\\vestreltray": "mutex"}, False),
    ({}, False),
    ({"Local\\VestrelTray": "event"}, False),  # taken by another kind: no tray can hold it
])
def test_running_asks_whether_the_mutex_is_held(monkeypatch: pytest.MonkeyPatch,
                                                objects: Dict[str, str], running: bool) -> None:
    _, kernel32 = fake_api(monkeypatch, objects=objects)
    assert tray_running("Local\\VestrelTray") is running
    SYNCHRONIZE = 0x00100000
    assert kernel32.opened == [(SYNCHRONIZE, False, "Local\\VestrelTray")]
    assert kernel32.closed == ([0x1234] if objects.get("Local\\VestrelTray") == "mutex" else [])


def test_running_reports_an_error_it_cannot_read(monkeypatch: pytest.MonkeyPatch) -> None:
    fake_api(monkeypatch, objects={"Local\\VestrelTray": "busy"})
    with pytest.raises(OSError, match="failed with error 1450"):
        tray_running("Local\\VestrelTray")


@pytest.mark.parametrize("call", [close_tray, tray_running])
def test_both_refuse_a_name_no_tray_could_hold(monkeypatch: pytest.MonkeyPatch,
                                               call: Callable[[str], bool]) -> None:
    user32, kernel32 = fake_api(monkeypatch, WINDOWS, {"Local\\VestrelTray": "mutex"})
    for mutex in ("", "Local\\Vestrel\\Tray"):
        with pytest.raises(ContractError):
            call(mutex)
    assert user32.posted == [] and kernel32.opened == []


@pytest.mark.skipif(sys.platform == "win32", reason="the real calls are there on Windows")
def test_elsewhere_the_windows_calls_are_refused() -> None:
    with pytest.raises(OSError, match="Windows only"):
        close_tray("Local\\VestrelTray")
    with pytest.raises(OSError, match="Windows only"):
        tray_running("Local\\VestrelTray")


def test_the_started_tray_may_be_dropped_without_a_resource_warning() -> None:
    # The tray outlives the application: its process object gives no ResourceWarning.
    process = TrayProcess([sys.executable, "-c", "import sys; sys.stdin.read()"],
                          stdin=subprocess.PIPE)
    try:
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            process.__del__()
        assert [w for w in record if issubclass(w.category, ResourceWarning)] == []
    finally:
        assert process.stdin is not None
        process.stdin.close()
        process.wait()


# -- the running instance, let come forward --------------------------------------------------

WRITTEN = 1_780_000_000


def running_state_file(path: Any, pid: int, written: int = WRITTEN) -> float:
    """A running instance's state file with this pid (any text the tray may read), its
    heartbeat written at `written`; gives that time."""
    path.write_bytes(encode_profile([("state", [("written_unix", str(written)),
                                                ("pid", str(pid))])]))
    return float(written)


@pytest.mark.parametrize("pid, alive, seconds_later, found", [
    (4812, True, 0, 4812),
    (4812, True, 90, 4812),  # a heartbeat 90 s old is fresh, as the tray counts it
    (4812, True, 91, None),
    (4812, True, -91, None),  # written in the future
    (4812, False, 0, None),  # the process has ended
    ((1 << 32) + 4812, True, 0, 4812),  # the tray reads the low 32 bits
    (0, True, 0, None),
])
def test_the_running_instance_is_the_one_the_tray_counts_as_running(
        monkeypatch: pytest.MonkeyPatch, tmp_path: Any, pid: int, alive: bool,
        seconds_later: int, found: Optional[int]) -> None:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    _, kernel32 = fake_api(monkeypatch)
    kernel32.processes[pid & 0xFFFFFFFF] = STILL_ACTIVE if alive else 0
    written = running_state_file(tmp_path / "state.ini", pid)
    assert running_instance(tmp_path / "state.ini", now=written + seconds_later) == found
    # The process is asked about only with a fresh heartbeat, and its handle closed after.
    asked = abs(seconds_later) <= 90 and pid & 0xFFFFFFFF != 0
    assert kernel32.closed == ([0x5000 + (pid & 0xFFFFFFFF)] if asked else [])


def test_no_state_file_no_instance(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    fake_api(monkeypatch)
    assert running_instance(tmp_path / "missing.ini") is None


def test_the_launcher_lets_only_the_running_instance_come_forward(
        monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    user32, kernel32 = fake_api(monkeypatch)
    kernel32.processes[4812] = STILL_ACTIVE
    running_state_file(tmp_path / "state.ini", 4812, written=int(time.time()))
    assert let_running_instance_come_forward(tmp_path / "state.ini") == 4812
    assert user32.allowed == [4812]

    kernel32.processes[4812] = 0  # it has ended: no process is let come forward
    assert let_running_instance_come_forward(tmp_path / "state.ini") is None
    assert user32.allowed == [4812]


def test_a_refusal_is_logged(monkeypatch: pytest.MonkeyPatch,
                             caplog: pytest.LogCaptureFixture) -> None:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    user32, kernel32 = fake_api(monkeypatch)
    user32.allow_fails = True
    kernel32.error = 5
    caplog.set_level(logging.INFO, logger="vestrel_tray")
    assert allow_foreground(4812) is False
    assert [record.getMessage() for record in caplog.records] == [
        "the running instance (process 4812) may not come forward: Windows refused to pass the "
        "foreground on (error 5); this process does not hold it"]


@pytest.mark.parametrize("pid", [0, 0xFFFFFFFF, -1])
def test_never_any_process(monkeypatch: pytest.MonkeyPatch, pid: int) -> None:
    fake = FakeWindows()
    monkeypatch.setattr(_windows, "system", lambda: fake)
    user32, _ = fake_api(monkeypatch)
    with pytest.raises(ValueError, match="one process"):
        allow_foreground(pid)
    assert user32.allowed == []


def test_off_windows_nothing_is_asked(monkeypatch: pytest.MonkeyPatch, tmp_path: Any) -> None:
    # The state file's pid is taken as it stands: only Windows can tell whether it lives.
    user32, _ = fake_api(monkeypatch)
    written = running_state_file(tmp_path / "state.ini", 4812)
    monkeypatch.setattr(_windows.System, "windows", property(lambda _: False))
    assert running_instance(tmp_path / "state.ini", now=written) == 4812
    assert allow_foreground(4812) is False
    assert user32.allowed == []
