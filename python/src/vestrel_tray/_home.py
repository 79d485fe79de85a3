"""The tray's home: a folder outside Python that the application names once (for example
%LOCALAPPDATA%\\Vestrel\\tray), from which the tray runs a copy of the package's program.

The notification area knows an icon by the program's path. Inside the application's Python that
path changes with every move to another Python or virtual environment, and each new path is a
new icon, put back behind the overflow arrow. The copy's path stays, and an update of the
package never touches a running file: the copy is replaced only after its tray has ended.
"""

from __future__ import annotations

import os
import time
from typing import Optional

from . import _find, _windows
from ._files import replace_file, temporaries_of
from ._messages import logger
from ._start_errors import TrayStartError
from ._state_file import StrPath

PROGRAM_NAME = "vestrel-tray.exe"
# How long a tray asked to end may take until its mutex is gone: it removes its icon, destroys
# its window and leaves its message loop, well within a second on a working desktop.
END_TIMEOUT = 10.0
# After its process has ended, Windows may hold the program file for a moment more (its image
# still mapped, an antivirus scanning the new copy): the move is tried for about ten seconds.
REPLACE_ATTEMPTS = 100
REPLACE_PAUSE = 0.1
_POLL = 0.05


def home_program(home: StrPath) -> str:
    """The path of the program's copy in the home."""
    return os.path.join(_windows.system().absolute(os.fspath(home)), PROGRAM_NAME)


def place_program(home: StrPath, source: str, mutex: str) -> str:
    """Makes the home's copy the same as source, and gives its path.

    A copy with the same bytes is left as it is. A copy that differs while a tray of mutex
    runs is replaced only after that tray has ended (asked by close_tray). TrayStartError when
    the old tray does not end or the copy cannot be made."""
    host = _windows.system()
    target = home_program(home)
    data = host.read_bytes(source)  # tray_command checked that source is there
    try:
        current: Optional[bytes] = host.read_bytes(target)
    except FileNotFoundError:
        current = None
    except OSError as error:
        raise _home_error(target, f"the copy there cannot be read ({error})") from error
    if current == data:
        return target
    if current is not None and host.windows and _find.tray_running(mutex):
        logger.info("the tray %s runs an older copy of %s: asking it to end before the copy "
                    "is replaced", mutex, target)
        if not end_tray(mutex):
            message = (f"the tray {mutex} did not end within {END_TIMEOUT:.0f} s of being "
                       f"asked, so its program {target} was left as it is (a tray of another "
                       "program may hold that mutex name); end it and start again")
            raise TrayStartError(message, reason="old_tray_runs", program=target)
    try:
        replace_file(target, data, attempts=REPLACE_ATTEMPTS, pause=REPLACE_PAUSE)
    except OSError as error:
        raise _home_error(target, f"the copy could not be written ({error})") from error
    logger.info("%s %s from %s", "replaced" if current is not None else "copied", target,
                source)
    return target


def _home_error(target: str, problem: str) -> TrayStartError:
    return TrayStartError(f"the tray's home {os.path.dirname(target)}: {problem}",
                          reason="home", program=target)


def end_tray(mutex: str, timeout: float = END_TIMEOUT) -> bool:
    """Asks the tray of mutex to end and waits until its mutex is gone; whether it went within
    timeout. True at once when no tray holds it."""
    host = _windows.system()
    if not _find.tray_running(mutex):
        return True
    _find.close_tray(mutex)
    deadline = host.monotonic() + timeout
    while _find.tray_running(mutex):
        if host.monotonic() >= deadline:
            return False
        host.sleep(_POLL)
    return True


def remove_tray_home(home: StrPath, *, mutex: str) -> bool:
    """For the application's uninstaller: ends the tray of mutex (close_tray, then waits for its
    mutex to go), then removes the program's copy from home, the temporary files a broken copy
    may have left, and home itself when nothing else is in it. Returns whether a copy was there.

    TimeoutError when the tray does not end; OSError when the copy cannot be removed. Both are
    logged through the logger "vestrel_tray" as well."""
    host = _windows.system()
    target = home_program(home)
    if host.windows and not end_tray(mutex):
        message = (f"the tray {mutex} did not end within {END_TIMEOUT:.0f} s of being asked: "
                   f"{target} was left in place")
        logger.error("%s", message)
        raise TimeoutError(message)
    existed = os.path.exists(target)
    try:
        for path in [target, *temporaries_of(target)]:
            _remove(path)
    except OSError as error:
        logger.error("could not remove %s: %s", target, error)
        raise
    folder = os.path.dirname(target)
    try:
        os.rmdir(folder)
    except FileNotFoundError:
        pass
    except OSError:
        logger.info("kept %s: other files are in it", folder)
    logger.info("removed %s", target if existed else f"nothing: no copy in {folder}")
    return existed


def _remove(path: str) -> None:
    """Removes path, retried while Windows still holds the program of a tray that has just
    ended."""
    for attempt in range(1, REPLACE_ATTEMPTS + 1):
        try:
            os.remove(path)
            return
        except FileNotFoundError:
            return
        except PermissionError:
            if attempt == REPLACE_ATTEMPTS:
                raise
            time.sleep(REPLACE_PAUSE)
