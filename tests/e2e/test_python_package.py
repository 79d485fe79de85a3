"""The Python package (python/src/vestrel_tray) against the real program under Wine.

A process on Linux writes the state file with StateFile, its pid that of a live Windows process,
and keeps it fresh with Heartbeat. The program shows the labels in its tooltip, an added notice
as a balloon with its texts exactly as given (blanks and quotes at the ends included) and marks it
in the seen file, "update waiting", and "stopped" once the heartbeat has ended; a notice removed
while the application counted as stopped never comes out, and the notice that took its section
does."""

from __future__ import annotations

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIF_TIP, NIN_BALLOONTIMEOUT, TrayTestCase, balloon_texts,  # noqa: E402
                     read_profile, wait_until)
# The package as its developers use it, straight from its source folder (harness.companion
# puts python/src first on the path).
from vestrel_tray import Heartbeat, StateFile  # noqa: E402

LABELS = {"title": "Vestrel – ספרייה", "stopped": "Gestoppt", "running": "Läuft",
          "update_waiting": "Update bereit"}
TITLE = LABELS["title"]


class PythonPackage(TrayTestCase):
    MUTEX = "vestrel-e2e-package"

    def balloons(self) -> list[tuple[str, str]]:
        return [(title, text) for title, text, _ in balloon_texts(self.standin.records())]

    def tooltip_after_tick(self) -> str:
        """The tooltip that a tick, sent and so handled in full, gives the icon."""
        mark = self.standin.count()
        self.session.traytool.tick(send=True)
        tips = [r["szTip"] for r in self.standin.since(mark) if r["uFlags"] & NIF_TIP]
        self.assertTrue(tips, f"the tick did not touch the icon: {self.standin.summary()}")
        return tips[-1]

    def wait_for_mark(self, notice_id: str) -> None:
        wait_until(lambda: read_profile(self.seen_path).get("shown", {}).get(notice_id) == "1",
                   f"{notice_id} marked in the seen file")

    def test_the_program_follows_what_the_package_writes(self) -> None:
        self.start_standin()
        # Written by the test itself, not by the kit's write_state: the package is under test.
        state = StateFile(self.state_path)
        state.pid = self.live_companion_pid()
        state.labels.update(**LABELS)

        with Heartbeat(state, every=10):
            tray = self.start_tray()
            added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
            self.assertEqual(added["szTip"], f"{TITLE}\nLäuft")

            mark = self.standin.count()
            state.add_notice("pkg-welcome", "info", '"Willkommen"', " Zwei neue Titel. ")
            state.write()
            self.session.traytool.tick(send=True)
            self.standin.wait_for(lambda r: bool(balloon_texts([r])), "the notice's balloon",
                                  after=mark)
            self.assertEqual(self.balloons(), [('"Willkommen"', " Zwei neue Titel. ")])
            self.wait_for_mark("pkg-welcome")

            state.status = "update_waiting"
            state.write()
            self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nUpdate bereit")
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)

        # The heartbeat has written the file of an ended application.
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nGestoppt")

        # Listed while stopped, so never read; then withdrawn, and its section taken by another.
        state.add_notice("pkg-withdrawn", "danger", "Withdrawn")
        state.write_stopped()
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nGestoppt")
        state.remove_notice("pkg-withdrawn")
        self.assertEqual(state.add_notice("pkg-later", "info", "Later").section, 2)
        state.status = "running"
        state.write()
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nLäuft")
        self.wait_for_mark("pkg-later")
        self.assertEqual(self.balloons(),
                         [('"Willkommen"', " Zwei neue Titel. "), ("Later", " ")])
        self.assertEqual(sorted(read_profile(self.seen_path)["shown"]),
                         ["pkg-later", "pkg-welcome"])

        self.session.traytool.close()
        self.assert_tray_ended(tray)


if __name__ == "__main__":
    harness.main()
