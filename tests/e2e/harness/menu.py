"""The program's popup menu, driven as a person drives it: a right click on the icon, a look at
the menu, a click on a command. The one menu driver of the bench, for the tests, the tour and the
simulator's test.

Commands are chosen with the mouse. Measured under Wine 8 (40 rounds of opening the menu and
toggling "mute", on a fresh desktop and on one where another program had used windows, keys and
mouse alternating): both ways chose right every time, the mouse in 0.4 s a round and the keys in
1.4 s. Keys reach the menu only while the pointer rests on it and the X focus is where the
pointer is (XDisplay.reset_focus), and a key count depends on which lines count as steps (the
greyed status line does, separators do not); a click on a command found in the picture depends
on neither.

What the picture shows (measured; the colours are in screen.py): the frame and the separators in
MENU_FRAME, the commands and the check mark in black on white, the status line in grey. A
command is a band of rows with text in it (TEXT_MAX, smoothed edges included); the sides the
commands keep to are measured on their black ink alone (INK_MAX), which leaves the status line
out. While the pointer
rests on the frame's bottom edge no command is highlighted, so the picture is taken there; the
tooltip that may have come up while the pointer was on the icon goes once it has left.

Wine's menu font (Tahoma) has no Hebrew or Arabic letters; they show as boxes unless a font that
has them is linked to it (link_rtl_scripts_font).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Sequence

from .screen import AWAY, CORNER, INK_MAX, MENU_EDGE_MIN, MENU_FRAME, TEXT_MAX, pixel_rows
from .waiting import DEFAULT_TIMEOUT, wait_until

if TYPE_CHECKING:
    from .session import WineSession

FONT_LINKS = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink"
MENU_FONTS = ("Tahoma",)
RTL_SCRIPTS_FONT = "DejaVuSans.ttf,DejaVu Sans"  # Debian's fonts-dejavu-core, found by Wine


@dataclass(frozen=True)
class MenuPicture:
    """A popup menu on a screenshot, in screen pixels: its frame, the rows of its separators,
    the rows (first, last) of each command below the last separator, and how far its black ink
    keeps from each side of the frame."""
    shot: Path
    left: int
    top: int
    right: int
    bottom: int
    separators: tuple[int, ...]
    commands: tuple[tuple[int, int], ...]
    gap_left: int
    gap_right: int

    def command_point(self, index: int) -> tuple[int, int]:
        if not 0 <= index < len(self.commands):
            raise AssertionError(f"the menu shows {len(self.commands)} commands, not "
                                 f"{index + 1} or more (see {self.shot})")
        first, last = self.commands[index]
        return (self.left + self.right) // 2, (first + last) // 2


def _frame_columns(row: bytes) -> list[int]:
    return [match.start() // 3 for match in re.finditer(re.escape(MENU_FRAME), row)
            if match.start() % 3 == 0]


def _inked(pixel: bytes) -> bool:
    return max(pixel) < INK_MAX


def _text(pixel: bytes) -> bool:
    return min(pixel) < TEXT_MAX


def find_menu(shot: Path, area: tuple[int, int, int, int] = CORNER) -> MenuPicture | None:
    """The menu on the screenshot, once it is drawn with its commands; None before."""
    rows = pixel_rows(shot, area)
    edges = {y: columns for y, row in enumerate(rows)
             if len(columns := _frame_columns(row)) >= MENU_EDGE_MIN}
    if len(edges) < 2:
        return None
    top, bottom = min(edges), max(edges)
    left = min(min(columns) for columns in edges.values())
    right = max(max(columns) for columns in edges.values())
    separators = [y for y in edges if top + 2 < y < bottom - 2]
    inked_columns = [x for y in range(top + 1, bottom) for x in range(left + 1, right)
                     if _inked(rows[y][3 * x:3 * x + 3])]
    if not separators or not inked_columns:
        return None  # not drawn yet
    commands: list[tuple[int, int]] = []
    start: int | None = None
    for y in range(max(separators) + 2, bottom):
        text = any(_text(rows[y][3 * x:3 * x + 3]) for x in range(left + 1, right))
        if text and start is None:
            start = y
        elif not text and start is not None:
            commands.append((start, y - 1))
            start = None
    if start is not None:
        commands.append((start, bottom - 1))
    if not commands:
        return None
    x0, y0 = area[:2]
    return MenuPicture(shot, x0 + left, y0 + top, x0 + right, y0 + bottom,
                       tuple(y0 + y for y in sorted(separators)),
                       tuple((y0 + first, y0 + last) for first, last in commands),
                       min(inked_columns) - left, right - max(inked_columns))


class Menu:
    """An open popup menu and what it shows."""

    def __init__(self, session: WineSession, picture: MenuPicture):
        self.session = session
        self.picture = picture

    @property
    def commands(self) -> int:
        return len(self.picture.commands)

    def hover(self, index: int) -> None:
        """Rests the pointer on a command, which the menu then highlights."""
        self.session.input.move(*self.picture.command_point(index))

    def choose(self, index: int, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Clicks command `index` (0: the first below the separator); returns once the menu has
        closed."""
        self.session.input.click(*self.picture.command_point(index))
        self.session.traytool.wait_menu_gone(timeout)

    def dismiss(self, timeout: float = DEFAULT_TIMEOUT) -> None:
        """Closes the menu without a command, with a click on bare desktop."""
        self.session.input.click(*AWAY)
        self.session.traytool.wait_menu_gone(timeout)


def open_menu(session: WineSession, name: str, timeout: float = DEFAULT_TIMEOUT) -> Menu:
    """Right-clicks the icon and waits until the menu is drawn in full and its picture has
    settled, with the pointer on its bottom edge; the picture is kept as <test>-<name>.png."""
    session.display.reset_focus()
    session.input.right_click_tray_icon()
    session.traytool.wait_menu(timeout)
    drawn = wait_until(lambda: find_menu(session.screen.screenshot(name)),
                       "the menu to be drawn", timeout, interval=0.1)
    session.input.move((drawn.left + drawn.right) // 2, drawn.bottom)
    last: list[bytes] = []

    def settled() -> MenuPicture | None:
        shot = session.screen.screenshot(name)
        rows = pixel_rows(shot, CORNER)
        same = rows == last
        last[:] = rows
        return find_menu(shot) if same else None

    return Menu(session, wait_until(settled, "the menu's picture to settle", timeout,
                                    interval=0.3))


def choose_command(session: WineSession, name: str, commands: Sequence[str],
                   command: str) -> MenuPicture:
    """Opens the menu, checks that it shows exactly these commands below its separator (by
    count), chooses one by name; gives the picture taken before the choice."""
    menu = open_menu(session, name)
    if menu.commands != len(commands):
        menu.dismiss()
        raise AssertionError(f"the menu shows {menu.commands} commands, wanted {list(commands)}; "
                             f"see {menu.picture.shot}")
    menu.choose(list(commands).index(command))
    return menu.picture


def link_rtl_scripts_font(session: WineSession,
                          faces: Sequence[str] = MENU_FONTS) -> Callable[[], None]:
    """Puts a font with Hebrew and Arabic letters first among those linked to each face, for
    programs started from now on (Windows' own menu fonts have the letters); returns what puts
    the prefix's links back as they were."""
    registry = session.registry
    restore: list[tuple[str, str | None]] = []
    for face in faces:
        before = registry.query(FONT_LINKS, face)
        # A run that was killed may have left its link behind.
        while before and before.startswith(RTL_SCRIPTS_FONT):
            before = before[len(RTL_SCRIPTS_FONT):].removeprefix("\\0") or None
        registry.set(FONT_LINKS, face, RTL_SCRIPTS_FONT + (f"\\0{before}" if before else ""),
                     "REG_MULTI_SZ")
        restore.append((face, before))

    def put_back() -> None:
        for face, before in restore:
            if before:
                registry.set(FONT_LINKS, face, before, "REG_MULTI_SZ")
            else:
                registry.delete(FONT_LINKS, face)
    return put_back
