"""What the end-to-end test of the simulator and the tour share: scenario files, the simulator's
record, and a person's view of the desktop (balloons, tooltip, popup menu) on top of the e2e
bench's WineSession (tests/e2e/harness.py).

Measured under Wine 8 in a 1024x768 virtual desktop on Xvfb:
- A popup menu is the only thing in the notification area's corner drawn with the colour
  #A6A6A6: its frame and its separators. Balloons and tooltips have none of it.
- Keys typed with xdotool reach the menu only while the pointer is over it. The menu first
  opens over the taskbar, under the pointer; once any other program of the desktop has used
  windows (the companion, say), menus open above the taskbar and the keys go to the taskbar.
  Commands are therefore chosen with the mouse, as a person would.
- Balloons are drawn about two seconds after the program asks for them.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

from harness import pixel_rows  # tests/e2e, on the path of every user of this module

HERE = Path(__file__).resolve().parent
SCENARIOS = HERE / "scenarios"

MENU_GREY = b"\xa6\xa6\xa6"
# Where balloons, the tooltip and the menu of the first icon are drawn: above and left of it.
CORNER = (512, 384, 512, 384)  # x, y, width, height
BALLOON_AREA = (560, 600, 464, 148)
TOOLTIP_AREA = (840, 700, 184, 48)


# ---------------------------------------------------------------------------------------------
# Scenario files (the simulator reads UTF-8, with or without a byte-order mark, and UTF-16LE
# with one)


def read_scenario(path: Path, *, lower_keys: bool = True) -> dict[str, dict[str, str]]:
    """Sections and keys in file order; names in lower case unless told (profile files match
    them without regard to case)."""
    data = path.read_bytes()
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le")
    else:
        text = data.decode("utf-8-sig")
    sections: dict[str, dict[str, str]] = {}
    current: dict[str, str] | None = None
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line[0] in ";#":
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip().lower(), {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            key = key.strip()
            current[key.lower() if lower_keys else key] = value.strip()
    return sections


def write_scenario(path: Path, sections: Mapping[str, Mapping[str, Any]], *,
                   utf16: bool = False) -> None:
    lines = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys.items())
    text = "".join(line + "\r\n" for line in lines)
    path.write_bytes(b"\xff\xfe" + text.encode("utf-16-le") if utf16 else text.encode("utf-8"))


def scenario_notices(scenario: Mapping[str, Mapping[str, str]]) -> list[dict[str, str]]:
    """The scenario's notices in section order."""
    numbered = [(int(name[6:]), keys) for name, keys in scenario.items()
                if re.fullmatch(r"notice[1-9][0-9]*", name)]
    return [dict(keys) for _, keys in sorted(numbered, key=lambda pair: pair[0])]


# ---------------------------------------------------------------------------------------------
# The simulator's record: one event a line, "word key=value ..."


@dataclass(frozen=True)
class Event:
    word: str
    fields: dict[str, str]

    def __getitem__(self, key: str) -> str:
        return self.fields[key]


def read_record(path: Path) -> list[Event]:
    if not path.exists():
        return []
    events = []
    for line in path.read_text(encoding="utf-8").splitlines(keepends=True):
        if not line.endswith("\n"):
            break  # still being written
        word, *rest = line.split()
        fields = dict(item.split("=", 1) for item in rest if "=" in item)
        events.append(Event(word, fields))
    return events


def record_text(path: Path) -> str:
    return path.read_text(encoding="utf-8") if path.exists() else "(no record)"


# ---------------------------------------------------------------------------------------------
# Looking at the screen


def _grey_columns(row: bytes) -> list[int]:
    return [match.start() // 3 for match in re.finditer(re.escape(MENU_GREY), row)
            if match.start() % 3 == 0]


@dataclass(frozen=True)
class Menu:
    """A popup menu on screen: its frame and the rows of its separators, in screen pixels."""
    left: int
    top: int
    right: int
    bottom: int
    separators: tuple[int, ...]

    @property
    def box(self) -> tuple[int, int, int, int]:
        return (self.left, self.top, self.right - self.left + 1, self.bottom - self.top + 1)


def find_menu(shot: Path, corner: tuple[int, int, int, int] = CORNER) -> Menu | None:
    rows = pixel_rows(shot, corner)
    greys = {y: columns for y, row in enumerate(rows) if (columns := _grey_columns(row))}
    # A frame has long horizontal edges; a stray grey pixel of a drawn picture has not.
    long_rows = [y for y, columns in greys.items() if len(columns) >= 40]
    if len(long_rows) < 2:
        return None
    top, bottom = min(long_rows), max(long_rows)
    left = min(min(greys[y]) for y in long_rows)
    right = max(max(greys[y]) for y in long_rows)
    separators = tuple(corner[1] + y for y in long_rows if top + 2 < y < bottom - 2)
    x0, y0 = corner[0], corner[1]
    return Menu(x0 + left, y0 + top, x0 + right, y0 + bottom, separators)


def area_signature(shot: Path, box: tuple[int, int, int, int]) -> bytes:
    return b"".join(pixel_rows(shot, box))



# ---------------------------------------------------------------------------------------------
# Driving the desktop (session: harness.WineSession)


def menu_items(shot: Path, menu: Menu) -> list[tuple[int, int]]:
    """The rows (first, last) of the commands below the menu's last separator, top to bottom:
    each is a band of rows with dark text (and check mark) on the menu's white."""
    x0, x1 = menu.left + 2, menu.right - 2
    y0 = menu.separators[-1] + 2
    rows = pixel_rows(shot, (x0, y0, x1 - x0 + 1, menu.bottom - 1 - y0))
    inked = [any(min(row[i:i + 3]) < 0x80 for i in range(0, len(row), 3)) for row in rows]
    bands: list[tuple[int, int]] = []
    start = None
    for y, ink in enumerate(inked + [False]):
        if ink and start is None:
            start = y
        elif not ink and start is not None:
            bands.append((y0 + start, y0 + y - 1))
            start = None
    return bands


def open_menu(session, name: str, timeout: float = 15.0) -> tuple[Menu, Path]:
    """Right-clicks the icon and waits until the menu is drawn; returns it and its picture."""
    from harness import wait_until

    session.right_click_tray_icon()

    def look() -> tuple[Menu, Path] | None:
        shot = session.screenshot(name)
        menu = find_menu(shot)
        return (menu, shot) if menu is not None and menu.separators else None

    return wait_until(look, "the popup menu to open", timeout, interval=0.1)


def choose(session, menu: Menu, shot: Path, index: int, timeout: float = 15.0) -> None:
    """Clicks the command `index` (0 = the first below the separator) and waits until the menu
    has closed. Clicked rather than typed: keys reach the menu only while the pointer is over
    it, and (measured) after a first act on a fresh desktop not even then."""
    from harness import wait_until

    items = menu_items(shot, menu)
    if index >= len(items):
        raise AssertionError(f"the menu shows {len(items)} commands, not {index + 1} or more")
    first, last = items[index]
    session.xdotool("mousemove", str((menu.left + menu.right) // 2), str((first + last) // 2),
                    "click", "1")
    wait_until(lambda: find_menu(session.screenshot("menu-closed")) is None,
               "the popup menu to close", timeout, interval=0.1)
