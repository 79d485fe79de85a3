"""The companion application's side of the Vestrel tray program.

Write the state file the tray reads (StateFile, kept fresh by Heartbeat), start, find and end
the tray (tray_exe, tray_command, start_tray, tray_running, close_tray), run it from a home
outside Python and remove that home (start_tray's home=, remove_tray_home), read the screen
the tray asks the launcher for (screen_from_argv), and let the running instance come forward
before the launcher hands it a request (let_running_instance_come_forward). A start that
Windows refuses, or that ends at once, raises TrayStartError with the cause and the remedy. Inputs the tray would skip or
refuse raise ContractError; texts it would cut, failed writes and retried ones are logged
through the logger "vestrel_tray". `python -m vestrel_tray check STATE.ini` checks a state file
written by other means; `python -m vestrel_tray remove-home HOME --mutex NAME` removes the
home for an uninstaller.
"""

from ._build_config import VERSION as __version__
from ._build_config import WEB_HOST
from ._foreground import allow_foreground, let_running_instance_come_forward, running_instance
from ._heartbeat import Heartbeat
from ._home import remove_tray_home
from ._labels import Labels
from ._messages import ContractError
from ._rules import Kind, LabelName, Role, Status
from ._start_errors import StartFailure, TrayStartError
from ._state_file import Notice, StateFile
from ._find import close_tray, tray_running
from ._tray import screen_from_argv, start_tray, tray_command, tray_exe
from ._windows import TrayProcess

__all__ = [
    "ContractError",
    "Heartbeat",
    "Kind",
    "LabelName",
    "Labels",
    "Notice",
    "Role",
    "StartFailure",
    "StateFile",
    "Status",
    "TrayProcess",
    "TrayStartError",
    "WEB_HOST",
    "__version__",
    "allow_foreground",
    "close_tray",
    "let_running_instance_come_forward",
    "remove_tray_home",
    "running_instance",
    "screen_from_argv",
    "start_tray",
    "tray_command",
    "tray_exe",
    "tray_running",
]
