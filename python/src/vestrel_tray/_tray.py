"""Starting, finding and ending the tray program, and the launcher's side of its command line."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from . import _home, _windows
from ._build_config import VERSION
from ._find import check_mutex, owns_window
from ._messages import ContractError, logger
from ._start_errors import ended_at_once, refused
from ._state_file import StrPath
from ._windows import TrayProcess

# How long start_tray watches a new tray for an end at once, and how often it looks.
START_TIMEOUT = 5.0
_START_POLL = 0.05


def tray_exe() -> Path:
    """The vestrel-tray.exe that this package carries: the platform wheel carries it, a copy
    installed from the source archive or built without the program does not."""
    exe = Path(__file__).resolve().parent / "vestrel-tray.exe"
    if not exe.is_file():
        raise FileNotFoundError(
            f"{exe} is missing: this copy of vestrel_tray carries no tray program. Install "
            f"vestrel_tray-{VERSION}-py3-none-win_amd64.whl, the wheel that scripts/package.sh "
            "of the Vestrel tray project builds with the program, or pass the program's path "
            "as exe= to tray_command and start_tray")
    return exe


def tray_command(*, mutex: str, state: StrPath, seen: StrPath, pythonw: StrPath,
                 launcher: StrPath, exe: Optional[StrPath] = None) -> List[str]:
    """The tray's argument list: the program, then its five options with absolute paths.

    mutex: the single-instance name, e.g. "Local\\\\VestrelTray", also the title of the tray's
    hidden window (close_tray and tray_running find the tray by it); state: the state file;
    seen: the tray's own memory file; pythonw: the windowless interpreter, which the tray runs
    from its path and never searches for; launcher: the script that the tray starts through it
    (with "--screen NAME" at times); exe: the program, by default tray_exe().

    Relative paths are taken from the current folder. On Windows the program, pythonw and the
    launcher must exist; a ContractError names the one that does not.
    """
    check_mutex(mutex)
    host = _windows.system()
    given: Dict[str, str] = {}
    for option, value in (("state", state), ("seen", seen), ("pythonw", pythonw),
                          ("launcher", launcher)):
        text = os.fspath(value)
        if not text:
            raise ContractError(f"{option}: the tray ends at once (exit code 2) on an empty "
                                "option")
        given[option] = text
    for option in ("pythonw", "launcher"):
        if '"' in given[option]:
            raise ContractError(f"{option} {given[option]!r}: the tray puts this path between "
                                "double quotes in the command line it starts, unescaped")
    if given["launcher"].endswith("\\"):
        raise ContractError(f"launcher {given['launcher']!r}: a backslash before the closing "
                            "quote would escape it in the command line the tray starts")
    paths = {option: host.absolute(text) for option, text in given.items()}
    program = host.absolute(os.fspath(exe)) if exe is not None else str(tray_exe())
    if host.windows:
        _check_present(host, "the program", program, program)
        _check_present(host, "pythonw", paths["pythonw"], given["pythonw"])
        _check_present(host, "launcher", paths["launcher"], given["launcher"])
    return [program, "--mutex", mutex, "--state", paths["state"], "--seen", paths["seen"],
            "--pythonw", paths["pythonw"], "--launcher", paths["launcher"]]


def _check_present(host: _windows.System, what: str, path: str, given: str) -> None:
    if host.is_file(path):
        return
    if what == "pythonw" and not host.has_separator(given):
        raise ContractError(
            f"pythonw {given!r}: the tray runs the interpreter from its path and never "
            f"searches PATH, and {path} does not exist; pass its full path, such as the "
            "pythonw.exe beside sys.executable")
    raise ContractError(f"{what} {path} does not exist (or is no file), so the tray "
                        + ("cannot start" if what == "the program"
                           else "could never start the application"))


def start_tray(*, mutex: str, state: StrPath, seen: StrPath, pythonw: StrPath,
               launcher: StrPath, exe: Optional[StrPath] = None,
               home: Optional[StrPath] = None, timeout: float = START_TIMEOUT) -> TrayProcess:
    """Starts the tray on its own, in the program's folder and without a console, and returns
    its process once it is seen to run: on Windows as soon as its hidden window is there, and
    after timeout seconds at the latest.

    home: a folder outside Python that the application names once, such as
    %LOCALAPPDATA%\\Vestrel\\tray. The program (exe, by default tray_exe()) is copied there
    when the copy is missing or differs, and the copy runs: its path, by which the notification
    area knows the icon, stays the same across updates of Python and of the package. A copy
    that differs while a tray of this mutex runs the old one is replaced after that tray has
    been asked to end (close_tray) and its mutex has gone.

    Another tray holding the mutex is no error: the program ends at once with exit code 0,
    that tray stays, and the process returned says so (already_running) and the logger
    "vestrel_tray" too. TrayStartError (an OSError) names the cause and the remedy when Windows
    refuses the program (a policy, Smart App Control, an antivirus, a missing file, not a
    program for this Windows), when it ends at once with another exit code (2: an option
    missing or empty, 3: no hidden window), and when the home's copy cannot be put in place.
    ContractError for arguments the tray cannot use (tray_command). Every failure is logged.

    The tray outlives the application, so the process may be dropped: it gives no
    ResourceWarning. On Windows it is started out of the application's job object, so that
    it stays when a job ends the application; where the job forbids that, inside it (logged).
    Write the state file, labels included, before this.
    """
    try:
        command = tray_command(mutex=mutex, state=state, seen=seen, pythonw=pythonw,
                               launcher=launcher, exe=exe)
        if home is not None:
            command[0] = _home.place_program(home, command[0], mutex)
        host = _windows.system()
        process = _launch(host, command)
        return _watch_start(host, process, command[0], mutex, timeout)
    except (OSError, ValueError) as error:
        logger.error("the tray was not started: %s", error)
        raise


def _launch(host: _windows.System, command: List[str]) -> TrayProcess:
    folder = host.folder(command[0])
    flags = _windows.DETACHED_PROCESS | _windows.CREATE_NEW_PROCESS_GROUP
    try:
        try:
            return host.start(command, cwd=folder,
                              creationflags=flags | _windows.CREATE_BREAKAWAY_FROM_JOB)
        except PermissionError as error:
            if not host.windows:
                raise
            # Windows refuses a breakaway that the job does not allow with ERROR_ACCESS_DENIED.
            logger.info("the tray could not leave the application's job (%s); it is started "
                        "inside it and ends with it", error)
        return host.start(command, cwd=folder, creationflags=flags)
    except OSError as error:
        raise refused(command[0], error) from error


def _watch_start(host: _windows.System, process: TrayProcess, program: str, mutex: str,
                 timeout: float) -> TrayProcess:
    """Watches the new process until its window is there (Windows), it ends, or timeout."""
    deadline = host.monotonic() + timeout
    while True:
        code = process.poll()
        if code == 0:
            process.already_running = True
            logger.info("another tray holds the mutex %s (or no mutex of that name can be "
                        "made): that tray stays, and %s ended at once", mutex, program)
            return process
        if code is not None:
            raise ended_at_once(program, code)
        if host.windows and owns_window(process.pid, mutex):
            logger.info("started the tray %s: %s (process %d)", mutex, program, process.pid)
            return process
        if host.monotonic() >= deadline:
            logger.info("started the tray %s: %s (process %d), still running after %.1f s",
                        mutex, program, process.pid, timeout)
            return process
        host.sleep(_START_POLL)


def screen_from_argv(argv: Optional[Sequence[str]] = None) -> Optional[str]:
    """The screen that the tray asks the launcher for, or None for the main window.

    The tray starts the launcher as `pythonw -I launcher.py [--screen NAME]`, NAME being 1 to
    32 letters a to z (a balloon's "app:NAME" target) or "stop" (the menu's stop command). It is
    returned exactly as passed. argv defaults to sys.argv; its first item is the script.
    """
    arguments = list(sys.argv if argv is None else argv)[1:]
    for index, argument in enumerate(arguments[:-1]):
        if argument == "--screen":
            return arguments[index + 1]
    return None
