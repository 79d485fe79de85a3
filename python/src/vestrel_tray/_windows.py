"""The operating system as the package's start and end of the tray use it: paths, files and
processes (System), and the few Windows calls that find and end a tray (WindowsApi).

Both sit behind one module-level function each (system(), windows_api()), so that the tests run
the package's own logic on any machine with a Windows of their own in place of these.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Protocol, Sequence, cast

if TYPE_CHECKING:
    from ctypes import Array, c_wchar

# Process creation flags (winbase.h): no console, a group of its own, out of the caller's job.
DETACHED_PROCESS = 0x00000008
CREATE_NEW_PROCESS_GROUP = 0x00000200
CREATE_BREAKAWAY_FROM_JOB = 0x01000000

# Access rights and errors of OpenMutexW and OpenProcess; the exit code of a live process.
SYNCHRONIZE = 0x00100000
PROCESS_QUERY_LIMITED_INFORMATION = 0x00001000
STILL_ACTIVE = 259
ERROR_FILE_NOT_FOUND = 2
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6

WM_CLOSE = 0x0010


class TrayProcess(subprocess.Popen[bytes]):
    """The started tray, a process meant to outlive this object and the application itself:
    dropping it while the tray runs is no leak, so it gives no ResourceWarning.

    already_running: True when this program ended at once with exit code 0 because another tray
    holds its mutex name (or the name cannot be made): that tray stays, and shows the icon."""

    already_running = False

    def __del__(self) -> None:
        if self.returncode is None:
            # A tray that has ended by now is reaped; one that runs goes on by itself.
            try:
                self.poll()
            except Exception:  # never raise from a finaliser
                pass


class System:
    """Paths, files and processes of the machine the package runs on."""

    @property
    def windows(self) -> bool:
        return sys.platform == "win32"

    def absolute(self, path: str) -> str:
        return os.path.abspath(path)

    def folder(self, path: str) -> str:
        return os.path.dirname(path)

    def is_file(self, path: str) -> bool:
        return os.path.isfile(path)

    def read_bytes(self, path: str) -> bytes:
        with open(path, "rb") as file:
            return file.read()

    def monotonic(self) -> float:
        return time.monotonic()

    def sleep(self, seconds: float) -> None:
        time.sleep(seconds)

    def has_separator(self, path: str) -> bool:
        separators = "\\/:" if self.windows else "/"
        return any(character in separators for character in path)

    def start(self, command: Sequence[str], *, cwd: str, creationflags: int) -> TrayProcess:
        """Starts command with no standard handles; creationflags count on Windows only, where
        elsewhere the process gets a session of its own."""
        if self.windows:
            return TrayProcess(list(command), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               close_fds=True, cwd=cwd, creationflags=creationflags)
        return TrayProcess(list(command), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, close_fds=True, cwd=cwd,
                           start_new_session=True)


_system = System()


def system() -> System:
    return _system


# -- Windows calls -------------------------------------------------------------------------------
# The signatures are those of the Windows functions as ctypes calls them: handles as int (None
# for NULL), strings as str, the text buffer as a ctypes array.


class User32(Protocol):
    def FindWindowExW(self, parent: Optional[int], after: Optional[int],
                      class_name: Optional[str], window_name: Optional[str]) -> Optional[int]:
        ...

    def GetWindowTextW(self, window: int, buffer: Array[c_wchar], size: int) -> int:
        ...

    def PostMessageW(self, window: int, message: int, wparam: int, lparam: int) -> int:
        ...

    def GetWindowThreadProcessId(self, window: int, process_id: Any) -> int:
        """process_id: ctypes.byref of a DWORD, which the call fills."""
        ...

    def AllowSetForegroundWindow(self, process_id: int) -> int:
        ...


class Kernel32(Protocol):
    def OpenMutexW(self, access: int, inherit: bool, name: str) -> Optional[int]:
        ...

    def OpenProcess(self, access: int, inherit: bool, process_id: int) -> Optional[int]:
        ...

    def GetExitCodeProcess(self, process: int, exit_code: Any) -> int:
        """exit_code: ctypes.byref of a DWORD, which the call fills."""
        ...

    def CloseHandle(self, handle: int) -> int:
        ...


@dataclass(frozen=True)
class WindowsApi:
    user32: User32
    kernel32: Kernel32
    # The error code of the last call above that failed (ctypes keeps it per thread).
    last_error: Callable[[], int]


_windows_api: Optional[WindowsApi] = None


def windows_api() -> WindowsApi:
    """The Windows calls, loaded once. OSError on another system."""
    global _windows_api
    if _windows_api is None:
        _windows_api = _load_windows_api()
    return _windows_api


def _load_windows_api() -> WindowsApi:
    if sys.platform != "win32":
        raise OSError("finding the tray works on Windows only")
    import ctypes
    from ctypes import wintypes

    user32: Any = ctypes.WinDLL("user32", use_last_error=True)
    user32.FindWindowExW.argtypes = [wintypes.HWND, wintypes.HWND, wintypes.LPCWSTR,
                                     wintypes.LPCWSTR]
    user32.FindWindowExW.restype = wintypes.HWND
    user32.GetWindowTextW.argtypes = [wintypes.HWND, wintypes.LPWSTR, ctypes.c_int]
    user32.GetWindowTextW.restype = ctypes.c_int
    user32.PostMessageW.argtypes = [wintypes.HWND, wintypes.UINT, wintypes.WPARAM,
                                    wintypes.LPARAM]
    user32.PostMessageW.restype = wintypes.BOOL
    user32.GetWindowThreadProcessId.argtypes = [wintypes.HWND, ctypes.POINTER(wintypes.DWORD)]
    user32.GetWindowThreadProcessId.restype = wintypes.DWORD
    user32.AllowSetForegroundWindow.argtypes = [wintypes.DWORD]
    user32.AllowSetForegroundWindow.restype = wintypes.BOOL
    kernel32: Any = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.OpenMutexW.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.LPCWSTR]
    kernel32.OpenMutexW.restype = wintypes.HANDLE
    kernel32.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    kernel32.OpenProcess.restype = wintypes.HANDLE
    kernel32.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    kernel32.GetExitCodeProcess.restype = wintypes.BOOL
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    kernel32.CloseHandle.restype = wintypes.BOOL
    return WindowsApi(user32=cast(User32, user32), kernel32=cast(Kernel32, kernel32),
                      last_error=ctypes.get_last_error)
