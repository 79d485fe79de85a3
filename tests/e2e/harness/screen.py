"""What a person sees on the bench's desktop: where things are drawn, in which colours, and
screenshots to look at them.

Measured under Wine 8 in its 1024x768 virtual desktop on Xvfb (one place for all of it):
- The notification area's first icon is drawn in TRAY_SLOT_BOX around TRAY_ICON_CENTER. Behind it
  is one flat colour: the taskbar's, or the desktop's, since Wine hides the taskbar while it holds
  no icon and no window button.
- Balloons, the tooltip and the popup menu of the first icon open above and left of it, in
  CORNER; balloons within BALLOON_AREA (about two seconds after the program asks for them), the
  tooltip within TOOLTIP_AREA.
- A popup menu is the only thing in CORNER drawn in MENU_FRAME (#A6A6A6): its frame and its
  separators. Balloons and tooltips have none of it; the Start button, on the left, has.
- A menu's commands and its check mark are black; its greyed status line is grey, lighter than
  INK_MAX; behind them the menu is white.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

from .waiting import DEFAULT_TIMEOUT, wait_until

Box = tuple[int, int, int, int]  # x, y, width, height

DESKTOP_SIZE = (1024, 768)
TRAY_ICON_CENTER = (1012, 758)
TRAY_SLOT_BOX: Box = (1000, 748, 24, 20)
# The right end of the taskbar, zoomed into each picture of the notification area.
TRAY_STRIP: Box = (DESKTOP_SIZE[0] - 160, DESKTOP_SIZE[1] - 28, 160, 28)
# The quarter of the desktop above and left of the first icon.
CORNER: Box = (512, 384, 512, 384)
BALLOON_AREA: Box = (560, 600, 464, 148)
TOOLTIP_AREA: Box = (840, 700, 184, 48)
# A spot of bare desktop, away from the icon and from everything it opens.
AWAY = (400, 300)
# The notification area's corner, where everything happens: the tour's zoomed pictures.
TOUR_ZOOM: Box = (480, 528, 544, 240)

MENU_FRAME = b"\xa6\xa6\xa6"
# A frame's edge or a separator is a long run of MENU_FRAME; a stray grey pixel of a picture is
# not.
MENU_EDGE_MIN = 20
# Dark enough (every channel below this) to be the text of a command or the check mark, not the
# greyed status line and not the highlight of a command under the pointer.
INK_MAX = 64
# Any channel below this: a pixel of a command's text on the menu's white, its smoothed edges
# included. Hebrew letters drawn in DejaVu Sans have thin strokes that are never as dark as
# INK_MAX, so a command's rows are found with this (measured: at INK_MAX one Hebrew command fell
# into three bands of rows).
TEXT_MAX = 192
# At most this many colours in a box: nothing is drawn there (an empty icon slot has one, bare
# desktop under a balloon's place one).
FLAT_AREA_COLOURS = 3


def pixel_rows(shot: Path, box: Box) -> list[bytes]:
    """The RGB rows (3 bytes a pixel) of a box of a screenshot."""
    x, y, width, height = box
    raw = subprocess.run(["convert", str(shot), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                          "-depth", "8", "rgb:-"], check=True, capture_output=True,
                         timeout=30).stdout
    stride = width * 3
    return [raw[row * stride:(row + 1) * stride] for row in range(height)]


def area_signature(shot: Path, box: Box) -> bytes:
    """The pixels of a box, to tell whether it changed between two screenshots."""
    return b"".join(pixel_rows(shot, box))


def colour_count(shot: Path, box: Box) -> int:
    x, y, width, height = box
    result = subprocess.run(["convert", str(shot), "-crop", f"{width}x{height}+{x}+{y}",
                             "+repage", "-format", "%k", "info:"],
                            check=True, timeout=30, capture_output=True, text=True)
    return int(result.stdout.strip())


class Screen:
    """Screenshots of the desktop, kept in the artifacts folder under the current test's name."""

    def __init__(self, artifacts: Path):
        self.artifacts = artifacts
        self.display: str | None = None
        self.test_name = "session"

    def path(self, name: str) -> Path:
        return self.artifacts / f"{self.test_name}-{name}.png"

    def capture(self, path: Path) -> Path:
        """A picture of the whole desktop."""
        subprocess.run(["import", "-display", str(self.display), "-window", "root", str(path)],
                       check=True, timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return path

    def screenshot(self, name: str) -> Path:
        return self.capture(self.path(name))

    def crop(self, source: Path, box: Box, name: str, zoom: int = 4) -> Path:
        x, y, width, height = box
        path = self.path(name)
        subprocess.run(["convert", str(source), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                        "-scale", f"{zoom * 100}%", str(path)], check=True, timeout=30)
        return path

    def tray_slot_filled(self, name: str) -> tuple[bool, Path]:
        """Screenshot now; whether the first icon's slot shows an icon."""
        shot = self.screenshot(name)
        return colour_count(shot, TRAY_SLOT_BOX) > FLAT_AREA_COLOURS, shot

    def wait_for_tray_slot(self, filled: bool, name: str,
                           timeout: float = DEFAULT_TIMEOUT) -> Path:
        """Waits until the first icon slot shows an icon (or shows none); keeps the screenshot
        that proved it, and a zoomed crop of the notification area beside it."""
        def look() -> Path | None:
            shows, shot = self.tray_slot_filled(name)
            return shot if shows == filled else None
        state = "an icon" if filled else "no icon"
        shot = wait_until(look, f"the notification area to show {state}", timeout, interval=0.2)
        self.crop(shot, TRAY_STRIP, name + "-tray")
        return shot
