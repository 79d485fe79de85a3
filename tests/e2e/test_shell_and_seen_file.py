"""What a real notification area and a real seen file may do to the running program, under Wine.

- A shell that reports a late balloon event while it answers the next balloon request: the
  stand-in shell sends the event to the program's window inside the request, as Windows' shell
  may. The event belongs to the balloon before: a click opens that balloon's target, and no
  notice is put on screen over the one being requested.
- A shell that never reports a balloon's end (Wine's never does): the 31st tick that finds the
  balloon still showing ends it, and the next notice follows.
- A seen file of zero bytes gets its byte-order mark, so an id outside the ANSI code page reads
  back, also after a restart.
- A folder at the seen path: nothing can be stored, yet each notice is shown once, nudges stay
  muted once the user mutes them in the menu, and one nudge a day is shown.
- Bare file names: the state and seen files are the ones in the program's current folder.
"""

from __future__ import annotations

import sys
from typing import Any

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIF_INFO, NIF_TIP, NIN_BALLOONTIMEOUT, NIN_BALLOONUSERCLICK,  # noqa: E402
                     Profile, TrayTestCase, read_profile, wait_until, windows_path)
from harness.menu import open_menu  # noqa: E402
from harness.profiles import UTF16, decode, encoding_of  # noqa: E402

LABELS = {"title": "Vestrel", "running": "Running"}


def notice(ident: str, title: str, target: str = "", kind: str = "info") -> dict[str, str]:
    return {"id": ident, "kind": kind, "target": target, "title": title,
            "body": f"About {title}"}


def is_balloon(record: dict[str, Any]) -> bool:
    """Any balloon request, accepted or not: what the program asked for."""
    return record["op"] == "modify" and bool(record["uFlags"] & NIF_INFO)


def is_tooltip(record: dict[str, Any]) -> bool:
    return record["op"] == "modify" and bool(record["uFlags"] & NIF_TIP)


def balloon_titles(records: list[dict[str, Any]]) -> list[str]:
    return [r["szInfoTitle"] for r in records if is_balloon(r) and r["result"] != 0]


class ShellAndSeenFile(TrayTestCase):
    MUTEX = "vestrel-e2e-shell-and-seen"

    def setUp(self) -> None:
        super().setUp()
        self.live_companion_pid()

    def start(self, notices: list[dict[str, str]], *standin_options: str,
              args: list[str] | None = None) -> None:
        """The stand-in (with these options), a running companion listing these notices, and
        the program, until its message loop runs: start-up's first pass is over, and a message
        sent to it from now on is handled on its own, not inside a request of that pass."""
        self.start_standin(*standin_options)
        self.write_state(labels=LABELS, notices=notices)
        self.start_tray_until_loop(args)

    def seen_text(self) -> str:
        return decode(self.seen_path.read_bytes()) if self.seen_path.is_file() else ""

    def mark_of(self, ident: str) -> str | None:
        """The seen file's mark of a notice, as the profile reader finds it."""
        return Profile.read(self.seen_path).get("shown", ident)

    # -- a late balloon event inside the next request ------------------------------------------

    def run_nested_event(self, event: int) -> None:
        """W, X and Y are listed. W's balloon is the first request; the test ends it, so the
        program asks for X, and the stand-in reports `event` inside that request."""
        self.start([notice("W", "W", "app:wscreen"), notice("X", "X", "app:xscreen"),
                    notice("Y", "Y", "app:yscreen")],
                   "--nested-event", hex(event), "--nested-at", "2")
        self.assertEqual(balloon_titles(self.standin.records()), ["W"], self.standin.summary())
        # Sent: returns once the program has handled the end, the request for X and the event
        # the stand-in reported inside it.
        self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
        request = self.standin.wait_for(lambda r: "nested" in r, "the request with the event")
        self.assertTrue(request["nestedHandled"], self.standin.summary())
        self.assertEqual(request["szInfoTitle"], "X")
        # A tick handled on its own changes nothing: X stays on screen, Y waits for its end.
        self.session.traytool.tick(send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["W", "X"],
                         self.standin.summary())
        marks = read_profile(self.seen_path).get("shown", {})
        self.assertEqual((marks.get("w"), marks.get("x"), marks.get("y")), ("1", "1", None),
                         self.seen_text())
        # X's own end brings Y.
        self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["W", "X", "Y"],
                         self.standin.summary())

    def test_a_late_click_inside_a_request_opens_the_previous_balloons_target(self) -> None:
        self.run_nested_event(NIN_BALLOONUSERCLICK)
        self.assertEqual(self.wait_for_starts(1), [self.launch_line("wscreen")])

    def test_a_late_timeout_inside_a_request_puts_nothing_over_it(self) -> None:
        self.run_nested_event(NIN_BALLOONTIMEOUT)
        self.assertEqual(self.starts(), [])

    # -- a shell that never reports a balloon's end --------------------------------------------

    def test_a_balloon_never_ended_is_ended_on_the_31st_tick(self) -> None:
        self.start([notice("first", "First"), notice("second", "Second")])
        self.assertEqual(balloon_titles(self.standin.records()), ["First"], self.standin.summary())
        # The program's own timer ticks too while this runs: count the ticks by their tooltip
        # requests, whoever sent them.
        self.session.traytool.tick(33, send=True)
        records = self.standin.records()
        balloons = [i for i, r in enumerate(records) if is_balloon(r)]
        self.assertEqual(len(balloons), 2, self.standin.summary())
        first, second = balloons
        ticks_between = [r for r in records[first + 1:second] if is_tooltip(r)]
        self.assertEqual(len(ticks_between), 31, self.standin.summary())
        self.assertEqual(records[first + 1:second], ticks_between, self.standin.summary())
        self.assertEqual(records[second]["szInfoTitle"], "Second")

    # -- the seen file ----------------------------------------------------------------------

    def test_an_empty_seen_file_gets_its_mark_and_keeps_an_id_outside_the_code_page(self) -> None:
        ident = "ü-日本"
        self.seen_path.write_bytes(b"")
        self.start([notice(ident, "Unicode id")])
        self.assertEqual(balloon_titles(self.standin.records()), ["Unicode id"])
        wait_until(lambda: self.mark_of(ident) == "1", "the mark of the id", timeout=30)
        self.assertEqual(encoding_of(self.seen_path.read_bytes()), UTF16, self.seen_text())

        # The mark reads back: after a restart the notice is not shown again.
        mark = self.restart_tray()
        self.session.traytool.tick(3, send=True)
        self.assertEqual(balloon_titles(self.standin.since(mark)), [], self.standin.summary())

    def test_a_folder_at_the_seen_path_shows_each_notice_once(self) -> None:
        self.seen_path.mkdir()
        self.start([notice("one", "One"), notice("two", "Two")])
        for _ in range(5):
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
            self.session.traytool.tick(send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["One", "Two"],
                         self.standin.summary())
        self.assertTrue(self.seen_path.is_dir())

    def test_a_folder_at_the_seen_path_keeps_nudges_muted_once_muted(self) -> None:
        self.seen_path.mkdir()
        labels = {**LABELS, "open": "Open", "mute": "Mute tips"}
        self.start_standin()
        self.write_state(labels=labels)
        self.start_tray_until_loop()
        self.session.screen.wait_for_tray_slot(filled=True, name="icon", timeout=60)
        menu = open_menu(self.session, "menu-mute")
        commands = menu.commands
        if commands != 2:
            menu.dismiss()
            self.fail(f"the menu shows {commands} commands, not open and mute")
        menu.choose(1)

        # The mute could not be stored; the program keeps it for the run.
        self.write_state(labels=labels, notices=[notice("N1", "Nudge one", kind="nudge"),
                                                 notice("I1", "Info one")])
        self.session.traytool.tick(send=True)
        for _ in range(3):
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
            self.session.traytool.tick(send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["Info one"],
                         self.standin.summary())
        self.assertTrue(self.seen_path.is_dir())

    def test_a_folder_at_the_seen_path_shows_one_nudge_a_day(self) -> None:
        self.seen_path.mkdir()
        self.start([notice("I1", "Info one"), notice("N1", "Nudge one", kind="nudge"),
                    notice("N2", "Nudge two", kind="nudge")])
        for _ in range(4):
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
            self.session.traytool.tick(send=True)
        # The day of the first nudge could not be stored; the program keeps it for the run.
        self.assertEqual(balloon_titles(self.standin.records()), ["Info one", "Nudge one"],
                         self.standin.summary())

    def test_bare_file_names_are_the_files_in_the_current_folder(self) -> None:
        # The program starts in the work folder, which holds the state file.
        windows_folder = self.session.config.prefix / "drive_c" / "windows"
        (windows_folder / "seen.ini").unlink(missing_ok=True)
        self.start([notice("bare", "Bare names")],
                   args=["--mutex", self.MUTEX, "--state", "state.ini", "--seen", "seen.ini",
                         "--pythonw", windows_path(self.pythonw),
                         "--launcher", windows_path(self.launcher)])
        self.assertEqual(balloon_titles(self.standin.records()), ["Bare names"])
        wait_until(lambda: self.mark_of("bare") == "1", "the mark in the current folder",
                   timeout=30)
        self.assertFalse((windows_folder / "seen.ini").exists())
        self.assertFalse((windows_folder / "state.ini").exists())


if __name__ == "__main__":
    harness.main()
