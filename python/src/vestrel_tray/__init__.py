"""The companion application's side of the Vestrel tray program.

Write the state file the tray reads (StateFile, kept fresh by Heartbeat), start and end the tray
(tray_exe, tray_command, start_tray, close_tray), and read the screen the tray asks the launcher
for (screen_from_argv). Inputs the tray would skip or refuse raise ContractError.
"""

from ._build_config import VERSION as __version__
from ._build_config import WEB_HOST
from ._heartbeat import Heartbeat
from ._state_file import ContractError, Notice, StateFile
from ._tray import close_tray, screen_from_argv, start_tray, tray_command, tray_exe

__all__ = [
    "ContractError",
    "Heartbeat",
    "Notice",
    "StateFile",
    "WEB_HOST",
    "__version__",
    "close_tray",
    "screen_from_argv",
    "start_tray",
    "tray_command",
    "tray_exe",
]
