"""The real program on a display at 125 % (a Wine prefix at 120 dpi): the notification area draws
its icons at 20 pixels, and the program hands it the icon group's own 20-pixel image, which is
drawn as it was drawn by res/draw_icon.py, pixel for pixel, not scaled from another size."""

from __future__ import annotations

import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import TrayTestCase  # noqa: E402
from harness.screen import TRAY_STRIP, pixel_rows  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "res"))
import draw_icon  # noqa: E402

LABELS = {"title": "Vestrel", "running": "Running", "stopped": "Stopped"}
SIZE = 20  # the small-icon size at 120 dpi


def composite(rgba: bytes, background: bytes) -> list[bytes]:
    """The icon's rows as RGB over a flat background, as the notification area blends it."""
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = rgba[(y * SIZE + x) * 4:(y * SIZE + x) * 4 + 4]
            row += bytes(round((c * a + bg * (255 - a)) / 255) for c, bg in zip((r, g, b),
                                                                               background))
        rows.append(bytes(row))
    return rows


class DisplayScale(TrayTestCase):
    def test_the_icon_at_125_percent_is_the_20_pixel_image(self) -> None:
        self.start_standin()
        self.write_state(labels=LABELS)
        self.start_tray()
        added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
        self.assertEqual((added["icon"]["width"], added["icon"]["height"]), (SIZE, SIZE),
                         "the small-icon size at 120 dpi")

        shot = self.session.screen.wait_for_tray_slot(filled=True, name="icon-125-percent")
        # Where the icon is drawn: the one square of SIZE pixels on the taskbar's right end
        # whose pixels are the image's own, blended over the taskbar's colour.
        strip = pixel_rows(shot, TRAY_STRIP)
        background = strip[-1][:3]  # the taskbar, left of the notification area
        expected = composite(draw_icon.draw(SIZE), background)
        width, height = TRAY_STRIP[2], TRAY_STRIP[3]

        def difference(left: int, top: int) -> int:
            return max(abs(a - b) for y in range(SIZE)
                       for a, b in zip(strip[top + y][3 * left:3 * (left + SIZE)], expected[y]))

        best = min((difference(x, y), x, y) for y in range(height - SIZE + 1)
                   for x in range(width - SIZE + 1))
        self.assertLessEqual(best[0], 8, f"no place on {shot} shows the 20-pixel image as it is "
                                         f"drawn (closest: {best})")


if __name__ == "__main__":
    harness.main()
