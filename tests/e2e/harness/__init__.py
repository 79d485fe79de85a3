"""The end-to-end bench: the real tray program under Wine, in a virtual desktop on Xvfb, driven
as the shell, the companion and a person would drive it. A test module imports this package
(tests/e2e is the script's own folder, so no path needs adding) and calls main().

The modules, one concern each:
  session    WineSession, TrayTestCase (the suites' kit) and main(): one run of the bench
  config     where the programs are and what the bench keeps (the command line)
  desktop    one Wine desktop: the prefix and the X server, started and ended together
  xdisplay   the private X server          prefix     Wine prefixes, wineserver, registry
  programs   Windows programs under Wine   traytool   the shell's and the system's side
  screen     what is drawn where, screenshots          xinput     pointer and keyboard
  menu       the one popup-menu driver     shell      the shell stand-in's log
  profiles   the raw profile-file codec    companion  state files by the package, kept fresh
  notices    passes of ticks and balloon clicks        simulator  the companion simulator's files
  soak       the soak's companion          footprint  handles, memory, processor time
  win32      Windows numbers by name       waiting    wait_until: a condition with a deadline
  __main__   the prefixes and a desktop from the command line (ctest, scripts/simulate.sh, a
             person trying the package)
"""

from .companion import Companion, CompanionState
from .config import BenchConfig, parse_config
from .prefix import windows_path
from .profiles import Profile, read_profile, state_sections, write_profile
from .programs import Program, fields
from .screen import DESKTOP_SIZE, TRAY_ICON_CENTER, TRAY_SLOT_BOX
from .session import TrayTestCase, WineSession, current_session, main
from .shell import Standin, balloon_texts, balloons, ops
from .waiting import DEFAULT_TIMEOUT, wait_until
from .win32 import (NIF_ICON, NIF_INFO, NIF_MESSAGE, NIF_SHOWTIP, NIF_TIP, NIIF_INFO, NIIF_WARNING,
                    NIN_BALLOONHIDE, NIN_BALLOONSHOW, NIN_BALLOONTIMEOUT, NIN_BALLOONUSERCLICK,
                    NIN_KEYSELECT, NIN_SELECT, TRAY_CALLBACK_MESSAGE, TRAY_ICON_ID,
                    WM_CONTEXTMENU, flags_text)

__all__ = [
    "BenchConfig", "Companion", "CompanionState", "DEFAULT_TIMEOUT", "DESKTOP_SIZE", "NIF_ICON",
    "NIF_INFO", "NIF_MESSAGE", "NIF_SHOWTIP", "NIF_TIP", "NIIF_INFO", "NIIF_WARNING",
    "NIN_BALLOONHIDE", "NIN_BALLOONSHOW", "NIN_BALLOONTIMEOUT", "NIN_BALLOONUSERCLICK",
    "NIN_KEYSELECT", "NIN_SELECT", "Profile", "Program", "Standin", "TRAY_CALLBACK_MESSAGE",
    "TRAY_ICON_CENTER", "TRAY_ICON_ID", "TRAY_SLOT_BOX", "TrayTestCase", "WM_CONTEXTMENU",
    "WineSession", "balloon_texts", "balloons", "current_session", "fields", "flags_text", "main",
    "ops", "parse_config", "read_profile", "state_sections", "wait_until", "windows_path",
    "write_profile",
]
