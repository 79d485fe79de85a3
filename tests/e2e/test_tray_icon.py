"""The real program's icon in the notification area: what it asks of the shell (recorded by
shell-standin, which also passes every request on to Wine's own notification area) and what a
person sees (screenshots in <build>/e2e-artifacts/)."""

from __future__ import annotations

import sys
import time
from typing import Any, Callable

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (  # noqa: E402
    NIF_ICON, NIF_MESSAGE, NIF_SHOWTIP, NIF_TIP, TRAY_CALLBACK_MESSAGE, TRAY_ICON_ID, TrayTestCase,
    flags_text, ops, state_sections)
from harness.profiles import encode_profile  # noqa: E402

ICON_FLAGS = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP
LABELS = {"title": "Vestrel Companion", "stopped": "Stopped", "running": "Running",
          "update_waiting": "Update ready"}


def old_heartbeat(pid: int, labels: dict[str, str]) -> Callable[[int], bytes]:
    """A running companion's state file whose heartbeat is ten minutes old: the package writes
    only the time of now (or none)."""
    written = int(time.time()) - 600
    return lambda _: encode_profile(state_sections(pid, written_unix=written, labels=labels))


def no_pid(labels: dict[str, str]) -> Callable[[int], bytes]:
    """A running companion's state file with pid 0, which the package refuses."""
    return lambda now: encode_profile(state_sections(0, written_unix=now, labels=labels))


class TrayIcon(TrayTestCase):
    def start(self, **standin_options: int) -> None:
        self.start_standin(**standin_options)
        self.write_state(labels=LABELS)
        self.start_tray()

    def rewrite_state(self, state: dict[str, Any] | Callable[[int], bytes]) -> None:
        """The state file with these changes to a running companion's (and nothing else), or
        what a function of the heartbeat gives for one that the package does not write."""
        if callable(state):
            self.write_bad_state(state)
        else:
            self.write_state(**{"labels": LABELS, "pid": self.live_companion_pid(),
                                "status": "running", **state})

    def assert_icon_record(self, record: dict, op: str, tip: str) -> None:
        self.assertEqual(record["op"], op, self.standin.summary())
        self.assertEqual(record["hwnd"], self.window["hwnd"], "icon's window")
        self.assertEqual(record["uID"], TRAY_ICON_ID)
        self.assertEqual(record["uFlags"], ICON_FLAGS,
                         f"flags {flags_text(record['uFlags'])}, wanted {flags_text(ICON_FLAGS)}")
        self.assertEqual(record["uCallbackMessage"], TRAY_CALLBACK_MESSAGE)
        self.assertEqual(record["szTip"], tip)
        self.assertIsNotNone(record["icon"], "request without an icon image")

    def next_record(self, record: dict) -> dict:
        return self.standin.wait_for(lambda r: True, f"a request after {record['op']}",
                                     after=record["seq"])

    def assert_version_4(self, record: dict) -> None:
        self.assertEqual((record["op"], record["uVersion"]), ("setversion", 4),
                         self.standin.summary())
        self.assertEqual(record["hwnd"], self.window["hwnd"])

    def test_icon_appears_with_title_and_status_in_its_tooltip(self) -> None:
        self.start()
        added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
        self.assert_icon_record(added, "add", "Vestrel Companion\nRunning")
        self.assertEqual(added["result"], 1)
        self.assertEqual((added["icon"]["width"], added["icon"]["height"]), (16, 16),
                         "a small icon")
        self.assert_version_4(self.next_record(added))
        self.session.screen.wait_for_tray_slot(filled=True, name="icon-shown")

    def test_tooltip_follows_the_state_file_at_the_next_tick(self) -> None:
        self.start()
        self.standin.wait_for(lambda r: r["op"] == "setversion", "the icon to be set up")
        ended, ended_pid = self.session.traytool.hold()
        ended.kill()
        self.assertIsNone(self.session.traytool.stats(ended_pid),
                          "the ended process is still there")
        long_title, long_status = "T" * 100, "S" * 100
        cases: list[tuple[str, dict[str, Any] | Callable[[int], bytes], str]] = [
            ("update waiting", dict(status="update_waiting"), "Vestrel Companion\nUpdate ready"),
            ("labels in another language",
             dict(labels={"title": "Vestrel-Begleiter", "running": "Läuft — 日本"}),
             "Vestrel-Begleiter\nLäuft — 日本"),
            ("heartbeat ten minutes old", old_heartbeat(self.live_companion_pid(), LABELS),
             "Vestrel Companion\nStopped"),
            ("companion process ended", dict(pid=ended_pid), "Vestrel Companion\nStopped"),
            ("no pid", no_pid(LABELS), "Vestrel Companion\nStopped"),
            ("no title label", dict(labels={"running": "Running"}), "Running"),
            ("texts longer than the tooltip",
             dict(labels={"title": long_title, "running": long_status}),
             (long_title + "\n" + long_status)[:127]),
            ("running again", {}, "Vestrel Companion\nRunning"),
        ]
        for case, state, tip in cases:
            with self.subTest(case):
                self.rewrite_state(state)
                mark = self.standin.count()
                # Sent, not posted: when it returns, the tick has been handled in full. The
                # program's own ten-second timer may add requests, but only with the same text.
                self.session.traytool.tick(send=True)
                after = self.standin.since(mark)
                self.assertTrue(after, "the tick did not touch the icon")
                self.assert_icon_record(after[-1], "modify", tip)

    def test_taskbar_recreated_while_the_icon_stays_keeps_it_current(self) -> None:
        self.start()
        self.standin.wait_for(lambda r: r["op"] == "setversion", "the icon to be set up")
        self.rewrite_state(dict(status="update_waiting"))
        mark = self.standin.count()

        # Wine's notification area keeps its icons, so the add after the broadcast fails. The
        # program's own timer only ever modifies here, so the add marks the broadcast's requests,
        # which follow one another within its handling.
        self.session.traytool.taskbar_created()
        after = self.standin.since(mark)
        self.assertEqual(ops(after).count("add"), 1, self.standin.summary())
        handled = after[ops(after).index("add"):]
        self.assertEqual(ops(handled)[:3], ["add", "modify", "setversion"],
                         self.standin.summary())
        self.assertEqual(handled[0]["result"], 0, "the shell accepted a second add")
        self.assert_icon_record(handled[1], "modify", "Vestrel Companion\nUpdate ready")
        self.assertEqual(handled[1]["result"], 1)
        self.assert_version_4(handled[2])

        # From then on the icon counts as present: a tick modifies, it does not add again.
        mark = self.standin.count()
        self.session.traytool.tick(send=True)
        after = self.standin.since(mark)
        self.assertTrue(after, "the tick did not touch the icon")
        self.assertEqual(set(ops(after)), {"modify"}, self.standin.summary())
        self.session.screen.wait_for_tray_slot(filled=True, name="icon-after-taskbar-created")

    def test_refused_add_is_tried_again_at_the_next_tick(self) -> None:
        self.start(refuse_add=1)
        refused = self.standin.wait_for(lambda r: r["op"] == "add", "the first add")
        self.assertTrue(refused["refused"])

        # Posted, so that it runs from the message loop, after start-up's own requests.
        self.session.traytool.tick()
        added = self.standin.wait_for(lambda r: r["op"] == "add" and r["result"] == 1,
                                      "the add to be tried again")
        before = self.standin.records()[:added["seq"] - 1]
        self.assertNotIn("setversion", ops(before), "version set for an icon the shell refused")
        self.assertEqual(ops(before).count("add"), 1, self.standin.summary())
        self.assert_icon_record(added, "add", "Vestrel Companion\nRunning")
        self.assert_version_4(self.next_record(added))
        self.session.screen.wait_for_tray_slot(filled=True, name="icon-after-refused-add")

    def test_closing_the_window_removes_the_icon_and_ends_with_0(self) -> None:
        self.start()
        self.session.screen.wait_for_tray_slot(filled=True, name="before-close")
        mark = self.standin.count()

        self.session.traytool.close()
        deleted = self.standin.wait_for(lambda r: r["op"] == "delete", "the icon to be deleted",
                                        after=mark)
        self.assertEqual((deleted["hwnd"], deleted["uID"]), (self.window["hwnd"], TRAY_ICON_ID))
        self.assert_tray_ended(self.tray)
        # Only the program's own timer could have come in between, and it only modifies.
        self.assertEqual(ops(self.standin.since(mark))[-1:], ["delete"], self.standin.summary())
        self.assertEqual(ops(self.standin.records()).count("delete"), 1, self.standin.summary())
        self.assertTrue(self.session.traytool.wait_gone(5), "the window is still there")
        self.session.screen.wait_for_tray_slot(filled=False, name="after-close")

    def test_two_programs_side_by_side_are_told_apart_by_their_mutex_names(self) -> None:
        # Each program's hidden window carries its mutex name as its title, so that an
        # application closes its own tray and not another application's.
        self.start()
        second_mutex = "vestrel-e2e-second"
        second, second_window = self.session.start_watched_tray(self.session.tray_args(
            mutex=second_mutex, state=self.state_path, seen=self.work / "second-seen.ini",
            pythonw=self.pythonw, launcher=self.launcher))
        self.assertNotEqual(second_window["hwnd"], self.window["hwnd"])
        self.assertNotEqual(second_window["pid"], self.window["pid"])
        self.assertEqual(self.session.traytool.wait_for_window(title=self.MUTEX), self.window)
        # The title is the name exactly: another letter case finds no window.
        self.assertIsNone(self.session.traytool.query(
            "wait", "--timeout-ms", "300", "--title", self.MUTEX.upper(), result="hwnd="))
        for window in (self.window, second_window):
            self.standin.wait_for(lambda r, hwnd=window["hwnd"]: r["op"] == "add"
                                  and r["hwnd"] == hwnd and r["result"] != 0,
                                  f"the icon of window {window['hwnd']}")
        mark = self.standin.count()

        self.session.traytool.close(title=self.MUTEX, send=True)

        deleted = self.standin.wait_for(lambda r: r["op"] == "delete", "an icon to be deleted",
                                        after=mark)
        self.assertEqual(deleted["hwnd"], self.window["hwnd"], self.standin.summary())
        self.assert_tray_ended(self.tray)
        # The other program runs on, and the shell still holds its icon.
        self.assertEqual(self.session.traytool.wait_for_window(title=second_mutex), second_window)
        self.session.traytool.tick(send=True, title=second_mutex)
        later = self.standin.since(mark)
        self.assertNotIn(("delete", second_window["hwnd"]),
                         [(r["op"], r["hwnd"]) for r in later], self.standin.summary())
        self.assertIn(("modify", second_window["hwnd"], 1),
                      [(r["op"], r["hwnd"], r["result"]) for r in later], self.standin.summary())
        self.session.screen.wait_for_tray_slot(filled=True, name="second-icon-stays")
        self.session.traytool.close(title=second_mutex, send=True)
        self.assert_tray_ended(second)


if __name__ == "__main__":
    harness.main()
