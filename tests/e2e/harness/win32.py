"""The Windows numbers that the bench speaks: the program's icon and its callback message, the
shell's events and the notification area's flags, under the names the platform gives them."""

from __future__ import annotations

# The program's icon: its callback message and id.
TRAY_CALLBACK_MESSAGE = 0x8001
TRAY_ICON_ID = 1

WM_CONTEXTMENU = 0x007B
NIN_SELECT = 0x0400
NIN_KEYSELECT = 0x0401
NIN_BALLOONSHOW = 0x0402
NIN_BALLOONHIDE = 0x0403
NIN_BALLOONTIMEOUT = 0x0404
NIN_BALLOONUSERCLICK = 0x0405

NIF_MESSAGE = 0x01
NIF_ICON = 0x02
NIF_TIP = 0x04
NIF_INFO = 0x10
NIF_SHOWTIP = 0x80
NIIF_INFO = 1
NIIF_WARNING = 2


def flags_text(flags: int) -> str:
    """uFlags as NIF_ names, for messages."""
    names = {NIF_MESSAGE: "NIF_MESSAGE", NIF_ICON: "NIF_ICON", NIF_TIP: "NIF_TIP",
             NIF_INFO: "NIF_INFO", NIF_SHOWTIP: "NIF_SHOWTIP"}
    return "|".join(name for bit, name in names.items() if flags & bit) or "0"
