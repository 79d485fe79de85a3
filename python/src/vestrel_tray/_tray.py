"""Starting and ending the tray program, and the launcher's side of its command line."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from ._state_file import ContractError, StrPath

WINDOW_CLASS = "VestrelTrayWindow"
WM_CLOSE = 0x0010
# The kernel's namespaces of named objects; a backslash anywhere else makes the name invalid.
_MUTEX_NAMESPACES = ("Local\\", "Global\\")


def tray_exe() -> Path:
    """The vestrel-tray.exe that this package carries (the wheel does; the source tree not)."""
    exe = Path(__file__).resolve().parent / "vestrel-tray.exe"
    if not exe.is_file():
        raise FileNotFoundError(f"{exe} is missing: this copy of vestrel_tray carries no tray "
                                "program; install the wheel, or pass exe=")
    return exe


def tray_command(*, mutex: str, state: StrPath, seen: StrPath, pythonw: StrPath,
                 launcher: StrPath, exe: Optional[StrPath] = None) -> List[str]:
    """The tray's argument list: the program, then its five options with absolute paths.

    mutex: the single-instance name, e.g. "Local\\\\VestrelTray"; state: the state file;
    seen: the tray's own memory file; pythonw: the windowless interpreter; launcher: the script
    that the tray starts through it (with "--screen NAME" at times).
    """
    if not mutex:
        raise ContractError("mutex: the tray ends at once (exit code 2) on an empty option")
    name = mutex
    for namespace in _MUTEX_NAMESPACES:
        if mutex.startswith(namespace):
            name = mutex[len(namespace):]
    if "\\" in name:
        raise ContractError(f"mutex {mutex!r}: no mutex of that name can be made, so the tray "
                            "ends at once; a backslash may only follow 'Local' or 'Global'")
    paths: Dict[str, str] = {}
    for option, value in (("state", state), ("seen", seen), ("pythonw", pythonw),
                          ("launcher", launcher)):
        text = os.fspath(value)
        if not text:
            raise ContractError(f"{option}: the tray ends at once (exit code 2) on an empty "
                                "option")
        paths[option] = text if option == "launcher" else os.path.abspath(text)
    for option in ("pythonw", "launcher"):
        if '"' in paths[option]:
            raise ContractError(f"{option} {paths[option]!r}: the tray puts this path between "
                                "double quotes in the command line it starts, unescaped")
    if paths["launcher"].endswith("\\"):
        raise ContractError(f"launcher {paths['launcher']!r}: a backslash before the closing "
                            "quote would escape it in the command line the tray starts")
    paths["launcher"] = os.path.abspath(paths["launcher"])
    program = os.path.abspath(os.fspath(exe)) if exe is not None else str(tray_exe())
    return [program, "--mutex", mutex, "--state", paths["state"], "--seen", paths["seen"],
            "--pythonw", paths["pythonw"], "--launcher", paths["launcher"]]


def start_tray(*, mutex: str, state: StrPath, seen: StrPath, pythonw: StrPath,
               launcher: StrPath, exe: Optional[StrPath] = None) -> subprocess.Popen[bytes]:
    """Starts the tray on its own, without a console, and returns at once.

    Starting it again while one runs is harmless: the second one finds the mutex taken and ends.
    Write the state file, labels included, before this.
    """
    command = tray_command(mutex=mutex, state=state, seen=seen, pythonw=pythonw,
                           launcher=launcher, exe=exe)
    if sys.platform == "win32":
        return subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, close_fds=True,
            creationflags=subprocess.DETACHED_PROCESS | subprocess.CREATE_NEW_PROCESS_GROUP)
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, close_fds=True, start_new_session=True)


def close_tray() -> bool:
    """Asks the tray to end (WM_CLOSE to its window); it removes its icon first.

    Returns whether a tray window was found and the message posted. Windows only.
    """
    if sys.platform != "win32":
        raise OSError("close_tray works on Windows only")
    import ctypes
    from ctypes import wintypes

    user32 = ctypes.WinDLL("user32", use_last_error=True)
    find_window = user32.FindWindowW
    find_window.argtypes = [wintypes.LPCWSTR, wintypes.LPCWSTR]
    find_window.restype = wintypes.HWND
    post_message = user32.PostMessageW
    post_message.argtypes = [wintypes.HWND, wintypes.UINT, wintypes.WPARAM, wintypes.LPARAM]
    post_message.restype = wintypes.BOOL
    window = find_window(WINDOW_CLASS, None)
    if not window:
        return False
    return bool(post_message(window, WM_CLOSE, 0, 0))


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
