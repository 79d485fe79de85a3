"""What a real notification area and a real seen file may do to the running program, under Wine.

- A shell that reports a late balloon event while it answers the next balloon request: the
  stand-in shell sends the event to the program's window inside the request, as Windows' shell
  may. The event belongs to the balloon before: a click opens that balloon's target, and no
  notice is put on screen over the one being requested.
- A shell that never reports a balloon's end (Wine's never does): the 31st tick that finds the
  balloon still showing ends it, and the next notice follows.
- A seen file of zero bytes gets its byte-order mark, so an id outside the ANSI code page reads
  back, also after a restart.
- A folder at the seen path: nothing can be stored, yet each notice is shown once.
- Bare file names: the state and seen files are the ones in the program's current folder.
"""

from __future__ import annotations

import sys
from typing import Any

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIF_INFO, NIF_TIP, NIN_BALLOONTIMEOUT, NIN_BALLOONUSERCLICK,  # noqa: E402
                     CompanionState, Standin, TrayTestCase, read_profile, wait_until,
                     windows_path)
from harness.profiles import decode  # noqa: E402

LABELS = {"title": "Vestrel", "running": "Running"}
MUTEX = "vestrel-e2e-shell-and-seen"


def notice(ident: str, title: str, target: str = "") -> dict[str, str]:
    return {"id": ident, "kind": "info", "target": target, "title": title,
            "body": f"About {title}"}


def is_balloon(record: dict[str, Any]) -> bool:
    """Any balloon request, accepted or not: what the program asked for."""
    return record["op"] == "modify" and bool(record["uFlags"] & NIF_INFO)


def is_tooltip(record: dict[str, Any]) -> bool:
    return record["op"] == "modify" and bool(record["uFlags"] & NIF_TIP)


def balloon_titles(records: list[dict[str, Any]]) -> list[str]:
    return [r["szInfoTitle"] for r in records if is_balloon(r) and r["result"] != 0]


class ShellAndSeenFile(TrayTestCase):
    def setUp(self) -> None:
        super().setUp()
        self.state = self.work / "state.ini"
        self.seen = self.work / "seen.ini"
        self.record = self.work / "started.log"
        self.companion_pid = self.live_companion_pid()
        self.companion: CompanionState | None = None

    # -- helpers ----------------------------------------------------------------------------

    def start_standin(self, *extra: str) -> Standin:
        log = self.work / "shell-requests.jsonl"
        program = self.session.programs.start(self.session.config.tool("shell-standin"), "--log",
                                              windows_path(log), "--forward", *extra,
                                              name="shell-standin")
        program.wait_for_output("ready ")
        return Standin(program, log)

    def write_state(self, notices: list[dict[str, str]]) -> None:
        """The state file of a running companion listing these notices, kept fresh."""
        if self.companion is None:
            self.companion = self.companion_state(self.state, self.companion_pid, labels=LABELS,
                                                  notices=notices)
        else:
            self.companion.update(notices=notices)

    def start_tray(self, args: list[str] | None = None) -> None:
        """Starts the program and waits until its message loop runs: start-up's first pass is
        over, and a message sent to it from now on is handled on its own, not inside a request
        of that pass."""
        mark = self.standin.count()
        self.tray, _ = self.session.start_watched_tray(
            args or self.session.tray_args(mutex=MUTEX, state=self.state, seen=self.seen),
            env={"VESTREL_RECORD_FILE": windows_path(self.record)})
        # Posted, a tick is handled only from the message loop; it asks for the tooltip.
        self.session.traytool.tick()
        self.standin.wait_for(is_tooltip, "the first tick of the message loop", after=mark,
                              timeout=60)

    def restart_tray(self) -> int:
        """Closes the program and starts it again on the same files; returns the log mark."""
        self.session.traytool.close()
        self.assert_tray_ended(self.tray)
        mark = self.standin.count()
        self.start_tray()
        return mark


    def started(self) -> list[str]:
        return (self.record.read_text(encoding="utf-8").splitlines()
                if self.record.exists() else [])

    def seen_text(self) -> str:
        return decode(self.seen.read_bytes()) if self.seen.is_file() else ""

    # -- a late balloon event inside the next request ------------------------------------------

    def run_nested_event(self, event: int) -> None:
        """W, X and Y are listed. W's balloon is the first request; the test ends it, so the
        program asks for X, and the stand-in reports `event` inside that request."""
        self.standin = self.start_standin("--nested-event", hex(event), "--nested-at", "2")
        self.notices = [notice("W", "W", "app:wscreen"), notice("X", "X", "app:xscreen"),
                        notice("Y", "Y", "app:yscreen")]
        self.write_state(self.notices)
        self.start_tray()
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
        marks = read_profile(self.seen).get("shown", {})
        self.assertEqual((marks.get("w"), marks.get("x"), marks.get("y")), ("1", "1", None),
                         self.seen_text())
        # X's own end brings Y.
        self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["W", "X", "Y"],
                         self.standin.summary())

    def test_a_late_click_inside_a_request_opens_the_previous_balloons_target(self) -> None:
        self.run_nested_event(NIN_BALLOONUSERCLICK)
        started = self.started()
        self.assertEqual(len(started), 1, started)
        self.assertTrue(started[0].endswith(" --screen wscreen"), started)

    def test_a_late_timeout_inside_a_request_puts_nothing_over_it(self) -> None:
        self.run_nested_event(NIN_BALLOONTIMEOUT)
        self.assertEqual(self.started(), [])

    # -- a shell that never reports a balloon's end --------------------------------------------

    def test_a_balloon_never_ended_is_ended_on_the_31st_tick(self) -> None:
        self.standin = self.start_standin()
        self.notices = [notice("first", "First"), notice("second", "Second")]
        self.write_state(self.notices)
        self.start_tray()
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
        self.seen.write_bytes(b"")
        self.standin = self.start_standin()
        self.notices = [notice(ident, "Unicode id")]
        self.write_state(self.notices)
        self.start_tray()
        self.assertEqual(balloon_titles(self.standin.records()), ["Unicode id"])
        wait_until(lambda: f"{ident}=1" in self.seen_text(), "the mark of the id", timeout=30)
        self.assertTrue(self.seen.read_bytes().startswith(b"\xff\xfe"))

        # The mark reads back: after a restart the notice is not shown again.
        mark = self.restart_tray()
        self.session.traytool.tick(3, send=True)
        self.assertEqual(balloon_titles(self.standin.since(mark)), [], self.standin.summary())

    def test_a_folder_at_the_seen_path_shows_each_notice_once(self) -> None:
        self.seen.mkdir()
        self.standin = self.start_standin()
        self.notices = [notice("one", "One"), notice("two", "Two")]
        self.write_state(self.notices)
        self.start_tray()
        for _ in range(5):
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)
            self.session.traytool.tick(send=True)
        self.assertEqual(balloon_titles(self.standin.records()), ["One", "Two"],
                         self.standin.summary())
        self.assertTrue(self.seen.is_dir())

    def test_bare_file_names_are_the_files_in_the_current_folder(self) -> None:
        # The program starts in the work folder, which holds the state file.
        windows_folder = self.session.config.prefix / "drive_c" / "windows"
        (windows_folder / "seen.ini").unlink(missing_ok=True)
        self.standin = self.start_standin()
        self.notices = [notice("bare", "Bare names")]
        self.write_state(self.notices)
        self.start_tray(["--mutex", MUTEX, "--state", "state.ini", "--seen", "seen.ini",
                         "--pythonw", windows_path(self.session.config.tool("record-args")),
                         "--launcher", windows_path(self.work / "launcher.py")])
        self.assertEqual(balloon_titles(self.standin.records()), ["Bare names"])
        wait_until(lambda: "bare=1" in self.seen_text(), "the mark in the current folder",
                   timeout=30)
        self.assertFalse((windows_folder / "seen.ini").exists())
        self.assertFalse((windows_folder / "state.ini").exists())


if __name__ == "__main__":
    harness.main()
