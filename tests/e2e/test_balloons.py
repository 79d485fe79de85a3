"""The real program's balloons under Wine: a state file of a running companion lists notices, the
balloons come out one at a time in the right order (the first one is kept as a screenshot), the
seen file marks them in the order they were shown, and a restart on the same files shows none of
them again.

Wine's notification area never reports a balloon's end (measured), so the test delivers each end
itself, as the shell would; shell-standin records what the program asked for and passes it on to Wine, so
the balloons are also really drawn."""

from __future__ import annotations

import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (DESKTOP_SIZE, NIF_SHOWTIP, NIF_TIP, NIIF_INFO, NIIF_WARNING,  # noqa: E402
                     NIN_BALLOONTIMEOUT, Profile, TrayTestCase, balloon_texts, balloons,
                     flags_text, read_profile, wait_until)
from harness.profiles import UTF16, decode, encoding_of  # noqa: E402
from harness.screen import BALLOON_AREA, FLAT_AREA_COLOURS, colour_count  # noqa: E402

LABELS = {"title": "Vestrel", "running": "Running", "stopped": "Stopped"}

LONG_TITLE = "Neue Bücher in deiner Bibliothek – " + "Ä" * 40
LONG_BODY = "Zwölf neue Titel sind eingetroffen. " + "ß" * 300

# Listed in this order; danger notices jump the queue (the later one ends up in front), and the
# one nudge of the day comes last.
NOTICES = [
    {"id": "news-0412", "kind": "info", "target": "", "title": "Neuigkeiten",
     "body": "Die Suche ist schneller geworden."},
    {"id": "sync-failed", "kind": "danger", "target": "", "title": "Sync stopped",
     "body": "Your library could not be synchronised."},
    {"id": "books.new", "kind": "info", "target": "", "title": LONG_TITLE, "body": LONG_BODY},
    {"id": "Disk_Full", "kind": "danger", "target": "", "title": "Disk full",
     "body": "Free some space to keep downloading."},
    {"id": "tip-search", "kind": "nudge", "target": "", "title": "Tip",
     "body": "Press Ctrl+K to search."},
]
# What the notification area must be asked to show, in this order: id, title, text, icon.
EXPECTED = [
    ("Disk_Full", "Disk full", "Free some space to keep downloading.", NIIF_WARNING),
    ("sync-failed", "Sync stopped", "Your library could not be synchronised.", NIIF_WARNING),
    ("news-0412", "Neuigkeiten", "Die Suche ist schneller geworden.", NIIF_INFO),
    ("books.new", LONG_TITLE[:63], LONG_BODY[:255], NIIF_INFO),
    ("tip-search", "Tip", "Press Ctrl+K to search.", NIIF_INFO),
]
# Listed only after the restart: the info notice proves that the restarted program does read
# the notices; the nudge must wait, as the day already had its nudge.
LATER_NOTICES = [
    {"id": "news-0413", "kind": "info", "target": "", "title": "Mehr Neuigkeiten",
     "body": "Listed after the restart."},
    {"id": "tip-sync", "kind": "nudge", "target": "", "title": "Another tip",
     "body": "Sync runs every hour."},
]


def shown_keys_in_file_order(data: bytes) -> list[tuple[str, str]]:
    """The key lines of [shown], as the file holds them, in the order they stand in it."""
    return Profile.from_bytes(data).entries("shown")


class Balloons(TrayTestCase):
    MUTEX = "vestrel-e2e-balloons"

    def shown_ids(self) -> list[str]:
        return [key for key, _ in shown_keys_in_file_order(
            self.seen_path.read_bytes() if self.seen_path.exists() else b"")]

    def wait_until_marked(self, count: int) -> None:
        """Until the seen file holds `count` marks. The mark is written after the shell has
        taken the balloon, so from then on the program is not inside a call to the shell, and
        a message sent to it is handled on its own, not in the middle of showing a balloon."""
        wait_until(lambda: len(self.shown_ids()) >= count, f"{count} notices marked shown",
                   timeout=60)

    def wait_for_balloon_on_screen(self) -> Path:
        def look() -> Path | None:
            shot = self.session.screen.screenshot("first-balloon")
            return shot if colour_count(shot, BALLOON_AREA) > FLAT_AREA_COLOURS else None
        shot = wait_until(look, "Wine to draw the first balloon", timeout=30, interval=0.2)
        x, y, width, height = BALLOON_AREA
        # With the taskbar below it, so that the balloon's stem shows the icon it belongs to.
        self.session.screen.crop(shot, (x, y, width, DESKTOP_SIZE[1] - y), "first-balloon-zoom", zoom=2)
        return shot

    def test_notices_come_out_in_order_are_marked_in_order_and_stay_shown(self) -> None:
        self.start_standin()
        self.write_state(labels=LABELS, notices=NOTICES)
        day_before = time.strftime("%Y%m%d")
        self.start_tray()

        # Start-up shows the front notice at once; the others wait for the balloon's end.
        self.wait_until_marked(1)
        self.wait_for_balloon_on_screen()
        self.assertEqual(balloon_texts(self.standin.records()), [EXPECTED[0][1:]],
                         self.standin.summary())
        # Sent: each end has been handled in full, the next balloon asked for and marked, when
        # the next one goes. The last end leaves nothing to show, whatever the timer does.
        for _ in EXPECTED:
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
        self.session.traytool.tick(3, send=True)

        self.assertEqual(balloon_texts(self.standin.records()), [e[1:] for e in EXPECTED],
                         self.standin.summary())
        # Each balloon request carries the tooltip as well: with version 4, an update without
        # NIF_SHOWTIP leaves the icon without its standard tooltip until the next refresh.
        for balloon in balloons(self.standin.records()):
            self.assertEqual(balloon["uFlags"] & (NIF_TIP | NIF_SHOWTIP), NIF_TIP | NIF_SHOWTIP,
                             flags_text(balloon["uFlags"]))
            self.assertEqual(balloon["szTip"], "Vestrel\nRunning")
        data = self.seen_path.read_bytes()
        self.assertEqual(encoding_of(data), UTF16, f"seen file not UTF-16LE: {data[:16]!r}")
        self.assertEqual(shown_keys_in_file_order(data), [(e[0], "1") for e in EXPECTED],
                         decode(data))
        self.assertIn(read_profile(self.seen_path).get("prefs", {}).get("last_nudge_day"),
                      {day_before, time.strftime("%Y%m%d")}, decode(data))

        # A restart on the very same files (the heartbeat kept fresh) shows nothing again.
        mark = self.restart_tray()
        self.session.traytool.tick(3, send=True)
        self.assertEqual(balloon_texts(self.standin.since(mark)), [], self.standin.summary())

        # ... while a notice listed now does show, and a second nudge on the same day does not.
        self.write_state(notices=NOTICES + LATER_NOTICES)
        self.session.traytool.tick(send=True)
        self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
        self.session.traytool.tick(3, send=True)
        self.assertEqual(balloon_texts(self.standin.since(mark)),
                         [("Mehr Neuigkeiten", "Listed after the restart.", NIIF_INFO)],
                         self.standin.summary())
        self.assertEqual(self.shown_ids(), [e[0] for e in EXPECTED] + ["news-0413"])


if __name__ == "__main__":
    harness.main()
