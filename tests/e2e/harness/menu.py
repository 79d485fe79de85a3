"""The real program's popup menu as a person sees it on Wine's virtual desktop: where it is drawn,
which side its commands hug, and the font links that Hebrew and Arabic menus need. Builds on
harness.py.

Measured under Wine 8 in a 1024x768 virtual desktop on Xvfb:
- The menu's frame and separator are drawn in #A6A6A6, a grey that nothing else in the right half
  of the desktop uses (the Start button, on the left, does).
- The commands and the check mark are black; the greyed status line is grey.
- Keys typed with xdotool go to the window under the pointer, so they reach the menu only while
  the pointer rests on it. Resting on its frame selects no command: the keys then count from the
  top, as in a menu that has just opened.
- The X server has no window manager, and Wine sets the X input focus on its own windows now
  and then. Once such a window is gone (as every window is when a test's wineserver ends), the
  focus falls to None and the server drops every key, for all later tests: keys for the menu
  are lost on a desktop after one where, say, a balloon click started a program. The server's
  own default, focus on the pointer's window, brings them back (WineSession.reset_focus).
- Wine's menu font (Tahoma) has no Hebrew or Arabic letters; they show as boxes unless a font
  that has them is linked to it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from harness import DEFAULT_TIMEOUT, WineSession, pixel_rows, wait_until

MENU_FRAME = b"\xa6\xa6\xa6"
# The quarter of the desktop above and left of the first icon, where its menu opens.
SEARCH_AREA = (512, 384, 512, 384)  # x, y, width, height
# An edge of the frame, not a stray grey pixel of a picture.
MIN_EDGE = 20
# Black enough to be the text of a command or the check mark, not the greyed status line.
INK_MAX = 64

FONT_LINKS = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink"
MENU_FONT = "Tahoma"
RTL_SCRIPTS_FONT = "DejaVuSans.ttf,DejaVu Sans"  # Debian's fonts-dejavu-core, found by Wine


@dataclass(frozen=True)
class MenuPicture:
    """A menu on a screenshot: its frame, and how far its black ink keeps from each side."""
    shot: Path
    left: int
    top: int
    right: int
    bottom: int
    gap_left: int
    gap_right: int


def find_menu(shot: Path) -> MenuPicture | None:
    rows = pixel_rows(shot, SEARCH_AREA)
    frame = {y: columns for y, row in enumerate(rows)
             if len(columns := [m.start() // 3 for m in re.finditer(re.escape(MENU_FRAME), row)
                                if m.start() % 3 == 0]) >= MIN_EDGE}
    if len(frame) < 2:
        return None
    top, bottom = min(frame), max(frame)
    left = min(min(columns) for columns in frame.values())
    right = max(max(columns) for columns in frame.values())
    inked = [x for y in range(top + 1, bottom) for x in range(left + 1, right)
             if max(rows[y][3 * x:3 * x + 3]) < INK_MAX]
    if not inked:
        return None  # not drawn yet
    x0, y0 = SEARCH_AREA[:2]
    return MenuPicture(shot, x0 + left, y0 + top, x0 + right, y0 + bottom,
                       min(inked) - left, right - max(inked))


def open_menu(session: WineSession, name: str) -> MenuPicture:
    """Right-clicks the icon, rests the pointer on the menu's frame so that keys reach it, and
    returns the menu once its picture has stopped changing (kept as <test>-<name>.png)."""
    session.reset_focus()
    session.right_click_tray_icon()
    session.traytool("wait-menu", "--timeout-ms", str(int(DEFAULT_TIMEOUT * 1000)),
                     timeout=DEFAULT_TIMEOUT + 15)
    drawn = wait_until(lambda: find_menu(session.screenshot(name)), "the menu to be drawn",
                       interval=0.1)
    session.xdotool("mousemove", str((drawn.left + drawn.right) // 2), str(drawn.bottom))

    # The icon's tooltip may have come up while the pointer was still on the icon; it goes
    # once the pointer has left.
    last: list[bytes] = []

    def still() -> MenuPicture | None:
        shot = session.screenshot(name)
        rows = pixel_rows(shot, SEARCH_AREA)
        settled = rows == last
        last[:] = rows
        return find_menu(shot) if settled else None

    return wait_until(still, "the menu's picture to settle", interval=0.3)


def _font_link(session: WineSession) -> str | None:
    result = session.run(Path("reg"), "query", FONT_LINKS, "/v", MENU_FONT, timeout=60)
    for line in result.stdout.splitlines():
        name, _, data = line.strip().partition("REG_MULTI_SZ")
        if data and name.strip().lower() == MENU_FONT.lower():
            return data.strip()
    return None


def _set_font_link(session: WineSession, data: str | None) -> None:
    args = (["add", FONT_LINKS, "/v", MENU_FONT, "/t", "REG_MULTI_SZ", "/d", data, "/f"]
            if data else ["delete", FONT_LINKS, "/v", MENU_FONT, "/f"])
    result = session.run(Path("reg"), *args, timeout=60)
    if result.returncode != 0:
        raise AssertionError(f"reg {' '.join(args)} failed: {result.stderr.strip()}")


def link_rtl_scripts_font(session: WineSession) -> Callable[[], None]:
    """Puts a font with Hebrew and Arabic letters first among those linked to the menu font, for
    programs started from now on (Windows' own menu fonts have the letters); returns what puts
    the prefix's links back as they were."""
    before = _font_link(session)
    # A run that was killed may have left its link behind.
    while before and before.startswith(RTL_SCRIPTS_FONT):
        before = before[len(RTL_SCRIPTS_FONT):].removeprefix("\\0") or None
    _set_font_link(session, RTL_SCRIPTS_FONT + (f"\\0{before}" if before else ""))
    return lambda: _set_font_link(session, before)
