"""Finding and ending a running tray by its mutex name: whether a program holds the mutex, the
tray's hidden window (of its class, titled exactly the mutex name), and the request to end."""

from __future__ import annotations

import ctypes
from typing import List, Optional

from . import _rules, _windows
from ._messages import ContractError

WINDOW_CLASS = "VestrelTrayWindow"
WM_CLOSE = _windows.WM_CLOSE
# The kernel's namespaces of named objects; a backslash anywhere else makes the name invalid.
_MUTEX_NAMESPACES = ("Local\\", "Global\\")


def check_mutex(mutex: str) -> None:
    """A mutex name the tray can take: ContractError for one it cannot."""
    if not isinstance(mutex, str):
        raise TypeError(f"mutex must be a str, not {type(mutex).__name__}")
    if not mutex:
        raise ContractError("mutex: the tray ends at once (exit code 2) on an empty option")
    name = mutex
    for namespace in _MUTEX_NAMESPACES:
        if mutex.startswith(namespace):
            name = mutex[len(namespace):]
    if "\\" in name:
        raise ContractError(f"mutex {mutex!r}: no mutex of that name can be made, so the tray "
                            "ends at once; a backslash may only follow 'Local' or 'Global'")


def owns_window(pid: int, mutex: str) -> bool:
    """Whether process pid has the tray's window of this mutex name: past the mutex and the
    window, the program runs its message loop."""
    api = _windows.windows_api()
    for window in _tray_windows(api, mutex):
        owner = ctypes.c_ulong(0)
        api.user32.GetWindowThreadProcessId(window, ctypes.byref(owner))
        if owner.value == pid:
            return True
    return False


def tray_running(mutex: str) -> bool:
    """Whether a program holds the mutex of this name: the tray started with it runs (or
    another program took the name, so that no tray can start with it). Windows only."""
    check_mutex(mutex)
    api = _windows.windows_api()
    handle = api.kernel32.OpenMutexW(_windows.SYNCHRONIZE, False, mutex)
    if handle:
        api.kernel32.CloseHandle(handle)
        return True
    error = api.last_error()
    if error == _windows.ERROR_ACCESS_DENIED:
        return True  # held by a process that this one may not open, such as an elevated one
    if error in (_windows.ERROR_FILE_NOT_FOUND, _windows.ERROR_INVALID_HANDLE):
        return False  # no object of that name, or one of another kind (no tray can hold it)
    raise OSError(f"OpenMutexW({mutex!r}) failed with error {error}")


def close_tray(mutex: str) -> bool:
    """Asks the tray started with this mutex name to end: WM_CLOSE to its window, the one of the
    tray's class whose title is exactly the name. It removes its icon first. Another
    application's tray, started with another name, is left alone.

    Returns whether such a window was found and the message posted. Windows only.
    """
    check_mutex(mutex)
    api = _windows.windows_api()
    posted = False
    for window in _tray_windows(api, mutex):
        if api.user32.PostMessageW(window, WM_CLOSE, 0, 0):
            posted = True
    return posted


def _tray_windows(api: _windows.WindowsApi, title: str) -> List[int]:
    """The top-level windows of the tray's class whose title is exactly title. The system's
    search ignores letter case; mutex names do not."""
    found: List[int] = []
    after: Optional[int] = None
    while True:
        window = api.user32.FindWindowExW(None, after, WINDOW_CLASS, title)
        if not window or window == after or window in found:
            return found
        if _window_title(api, window, _rules.utf16_length(title)) == title:
            found.append(window)
        after = window


def _window_title(api: _windows.WindowsApi, window: int, length: int) -> str:
    """The window's title, read up to one code unit more than length, so that a longer one
    never compares equal."""
    size = length + 2
    buffer = ctypes.create_unicode_buffer(size)
    if api.user32.GetWindowTextW(window, buffer, size) <= 0:
        return ""
    return buffer.value
