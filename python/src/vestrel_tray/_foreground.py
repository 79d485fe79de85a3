"""Letting the running instance of the application bring its window to the front.

By Windows' foreground rules only a process that holds the foreground may give it away
(AllowSetForegroundWindow). The launcher that the tray starts on the user's action is such a
process at that moment, as is a launcher the user starts from the Start menu; the running
instance that the launcher hands the request to is not, and without leave its window merely
flashes on the taskbar. The tray lets that instance come forward before it starts the launcher;
the launcher does the same before it hands the request over, for a start that did not come from
the tray.
"""

from __future__ import annotations

import ctypes
import os
import time
from typing import Optional

from . import _rules, _windows
from ._check import parse_int, read_state_section
from ._messages import logger
from ._state_file import StrPath


def running_instance(state: StrPath, *, now: Optional[float] = None) -> Optional[int]:
    """The process id that the state file names, while the tray would count the application as
    running: the heartbeat within 90 seconds of now and, on Windows, that process alive. None
    when the file is missing or says no instance runs."""
    try:
        with open(os.fspath(state), "rb") as file:
            values = read_state_section(file.read())
    except OSError:
        return None
    written = parse_int(values.get("written_unix", ""), 64)
    # The tray reads the low 32 bits of the pid, as a process id.
    process_id = parse_int(values.get("pid", ""), 64) & 0xFFFFFFFF
    moment = time.time() if now is None else now
    if written <= 0 or abs(int(moment) - written) > _rules.HEARTBEAT_TOLERANCE or not process_id:
        return None
    if _windows.system().windows and not _alive(process_id):
        return None
    return process_id


def _alive(process_id: int) -> bool:
    api = _windows.windows_api()
    handle = api.kernel32.OpenProcess(_windows.PROCESS_QUERY_LIMITED_INFORMATION, False,
                                      process_id)
    if not handle:
        return False
    try:
        exit_code = ctypes.c_ulong(0)
        return bool(api.kernel32.GetExitCodeProcess(handle, ctypes.byref(exit_code))) and \
            exit_code.value == _windows.STILL_ACTIVE
    finally:
        api.kernel32.CloseHandle(handle)


def allow_foreground(process_id: int) -> bool:
    """Lets that one process bring a window of its own to the front (AllowSetForegroundWindow),
    if this process may pass the foreground on; never any process. Whether Windows allowed it;
    False off Windows. A refusal is logged: the instance's window will only flash."""
    if process_id <= 0 or process_id >= 0xFFFFFFFF:
        raise ValueError(f"process id {process_id}: one process, not any (ASFW_ANY) or none")
    if not _windows.system().windows:
        return False
    api = _windows.windows_api()
    if api.user32.AllowSetForegroundWindow(process_id):
        return True
    logger.info("the running instance (process %d) may not come forward: Windows refused to "
                "pass the foreground on (error %d); this process does not hold it", process_id,
                api.last_error())
    return False


def let_running_instance_come_forward(state: StrPath) -> Optional[int]:
    """For the launcher, before it hands a request to the running instance: that instance's
    process id (running_instance), let come forward (allow_foreground); None when no instance
    runs, and then nothing is allowed."""
    process_id = running_instance(state)
    if process_id is not None:
        allow_foreground(process_id)
    return process_id
