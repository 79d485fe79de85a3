"""The real program with the companion simulator (tools/companion-sim) in the companion's place:
what the companion writes reaches the user (tooltip, balloons in order), and what the user
chooses reaches the companion (balloon click, menu commands), through the real start command
line and the simulator's hand-over to its running instance."""

from __future__ import annotations

import sys
from collections import Counter

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIF_INFO, NIIF_INFO, NIIF_WARNING, NIN_BALLOONTIMEOUT,  # noqa: E402
                     NIN_BALLOONUSERCLICK, Program, TrayTestCase, balloons, read_profile,
                     wait_until, windows_path)
from harness import simulator  # noqa: E402
from harness.menu import choose_command  # noqa: E402
from harness.profiles import UTF16, decode, encoding_of  # noqa: E402

LABELS = {"title": "Vestrel e2e", "stopped": "Stopped", "running": "Läuft – running",
          "update_waiting": "Update ready", "open": "Open", "stop": "Stop", "mute": "Mute tips"}
TIP_RUNNING = "Vestrel e2e\nLäuft – running"
TIP_STOPPED = "Vestrel e2e\nStopped"

# Listed at start, in this section order; the danger notice must still come out first.
NOTICES = [
    {"at": 0, "id": "e2e-info-first", "kind": "info", "target": "app:news",
     "title": "Neuigkeiten", "body": "Zwei Bücher – «Sömmerda» und „Łódź“ – sind da."},
    {"at": 0, "id": "e2e-nudge.1", "kind": "nudge", "target": "https://vestrel.app/tips",
     "title": "Tip", "body": "Press Ctrl+K to search."},
    {"at": 0, "id": "e2e-danger_1", "kind": "danger", "target": "",
     "title": "Sync stopped", "body": "Your library could not be synchronised."},
    # Due only a moment after the start: the simulator must list it later and the program must
    # pick it up at a later tick.
    {"at": 2, "id": "e2e-info-later", "kind": "info", "target": "",
     "title": "Later news", "body": "Listed after the start."},
]
SHOWN_ORDER = ["e2e-danger_1", "e2e-info-first", "e2e-nudge.1", "e2e-info-later"]

# The commands below the separator, top to bottom; stop is there only while the companion runs.
RUNNING_MENU = ["open", "stop", "mute"]
STOPPED_MENU = ["open", "mute"]


class CompanionSimulator(TrayTestCase):
    MUTEX = "vestrel-e2e-sim"

    def setUp(self) -> None:
        super().setUp()
        self.sim_exe = self.session.config.sim_exe
        if not self.sim_exe.is_file():
            self.fail(f"companion-sim.exe not found at {self.sim_exe}: build target "
                      "companion-sim")
        self.scenario = self.work / "scenario.ini"
        self.record = self.work / "record.log"
        # The program starts the simulator as the companion's interpreter, with the scenario in
        # the launcher's place; the simulator writes the state file at state_path.
        self.pythonw, self.launcher = self.sim_exe, self.scenario

    # -- helpers ----------------------------------------------------------------------------

    def write_scenario(self, notices: list[dict]) -> None:
        sections: dict[str, dict] = {
            "companion": {"state": "state.ini", "record": "record.log", "heartbeat": 1,
                          "status": "running", "role": "server", "rtl": 0},
            "labels": LABELS,
        }
        for number, notice in enumerate(notices, start=1):
            sections[f"notice{number}"] = notice
        # UTF-16LE here; the demo scenarios are UTF-8, so both readings are in use.
        simulator.write_scenario(self.scenario, sections, utf16=True)

    def mark(self) -> int:
        return len(simulator.read_record(self.record))

    def events(self, word: str, after: int = 0, **fields: str) -> list[simulator.Event]:
        return [event for event in simulator.read_record(self.record)[after:]
                if event.word == word
                and all(event.fields.get(key) == value for key, value in fields.items())]

    def wait_for_event(self, word: str, after: int = 0, **fields: str) -> simulator.Event:
        """The first such event among those recorded after the first `after` ones."""
        def find() -> simulator.Event | None:
            found = self.events(word, after, **fields)
            return found[0] if found else None
        try:
            return wait_until(find, f"'{word}' {fields} in the simulator's record")
        except AssertionError as error:
            raise AssertionError(f"{error}; record:\n{simulator.record_text(self.record)}") from None

    def start_companion(self) -> tuple[Program, str]:
        """The simulator as the running companion, with a watch on its exit code."""
        program = self.session.programs.start(self.sim_exe, "-I", windows_path(self.scenario),
                                              name="sim")
        pid = self.wait_for_event("running")["pid"]
        self.session.traytool.watch_exit(program, int(pid))
        return program, pid

    def stop_companion_from_outside(self, pid: str) -> None:
        code = self.session.traytool.run_to_exit(self.sim_exe, "-I", windows_path(self.scenario),
                                                 "--screen", "stop")
        self.assertEqual(code, 0, simulator.record_text(self.record))
        self.wait_for_event("exit", pid=pid)

    def tip_after_tick(self) -> str:
        mark = self.standin.count()
        self.session.traytool.tick(send=True)
        modified = [r for r in self.standin.since(mark) if r["op"] == "modify"
                    and not r["uFlags"] & NIF_INFO]
        self.assertTrue(modified, f"the tick did not touch the icon: {self.standin.summary()}")
        return modified[-1]["szTip"]

    def balloons(self) -> list[dict]:
        return balloons(self.standin.records())

    def shown_ids(self) -> list[str]:
        return list(read_profile(self.seen_path).get("shown", {}))

    def assert_record_clean(self) -> None:
        """Every start had the command line that docs/companion-contract.md gives, and every
        hand-over arrived."""
        self.assertEqual(self.events("refused") + self.events("not-handed") +
                         self.events("write-failed"), [], simulator.record_text(self.record))

    def menu(self, name: str, commands: list[str], command: str) -> None:
        choose_command(self.session, name, commands, command)

    # -- tests ------------------------------------------------------------------------------

    def test_status_and_notices_reach_the_user_and_clicks_reach_the_companion(self) -> None:
        self.write_scenario(NOTICES)
        self.start_standin()
        companion, pid = self.start_companion()

        data = self.state_path.read_bytes()
        self.assertEqual(encoding_of(data), UTF16, "state file without a UTF-16LE mark")
        text = decode(data, strict=True)
        self.assertEqual(text.count("\n"), text.count("\r\n"), "line ends other than CRLF")
        self.assertEqual(read_profile(self.state_path)["state"]["pid"], pid)

        self.start_tray()
        added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
        self.assertEqual(added["szTip"], TIP_RUNNING)

        expected = {notice["id"]: notice for notice in NOTICES}
        for index, notice_id in enumerate(SHOWN_ORDER):
            notice = expected[notice_id]

            def balloon_shown() -> dict | None:
                shown = self.balloons()
                if len(shown) > index:
                    return shown[index]
                if notice["at"]:
                    # Listed after the start: only a refresh tick picks it up.
                    self.session.traytool.tick(send=True)
                return None

            record = wait_until(balloon_shown, f"the balloon of {notice_id}")
            self.assertEqual((record["szInfoTitle"], record["szInfo"]),
                             (notice["title"], notice["body"]), notice_id)
            self.assertEqual(record["dwInfoFlags"] & 0xF,
                             NIIF_WARNING if notice["kind"] == "danger" else NIIF_INFO, notice_id)
            wait_until(lambda: self.shown_ids() == SHOWN_ORDER[:index + 1],
                       f"{notice_id} marked shown after {SHOWN_ORDER[:index]}")

            if notice["target"] == "app:news":
                # The user clicks it: the program starts the companion again with the screen,
                # and that start hands it to the running one.
                mark = self.mark()
                self.session.traytool.event(NIN_BALLOONUSERCLICK)
                opened = self.wait_for_event("screen", after=mark, pid=pid, name="news")
                handed = self.wait_for_event("handed", after=mark, pid=opened["from"])
                self.assertEqual(handed["to"], pid)
            else:
                self.session.traytool.event(NIN_BALLOONTIMEOUT)

        self.session.traytool.tick(send=True)
        self.assertEqual([r["szInfoTitle"] for r in self.balloons()],
                         [expected[i]["title"] for i in SHOWN_ORDER], "balloons shown")
        self.assertEqual([e["id"] for e in self.events("list", pid=pid)],
                         [notice["id"] for notice in NOTICES])

        # The companion ends: its last write leaves no heartbeat, and the next refresh says so.
        self.stop_companion_from_outside(pid)
        self.assertEqual(self.session.traytool.exit_code(companion), 0)
        self.assertEqual(read_profile(self.state_path)["state"]["pid"], "0")
        self.assertEqual(self.tip_after_tick(), TIP_STOPPED)
        self.assert_record_clean()

    def test_two_processes_recording_at_once_lose_no_line(self) -> None:
        """Every start of the simulator records into the one record file while the running one
        does. Two processes write 3,000 lines each through the simulator's record writer, both at
        the same moment (each waits for the other before it writes): every line arrives, whole and
        once. Appending through handles that both processes hold open for appending (the writer
        before) lost up to 100 of 6,000 lines under Wine (docs/reliability.md)."""
        probe = self.session.config.tool("record-probe")
        count = 3000
        writers = [self.session.programs.start(probe, windows_path(self.record), tag, str(count),
                                               peer, name=f"probe-{tag}")
                   for tag, peer in (("A", "B"), ("B", "A"))]
        for writer in writers:
            writer.wait(timeout=120)
            self.assertIn(f"written={count} failed=0", writer.stdout(), writer.stderr())
        lines = Counter(self.record.read_text(encoding="utf-8").splitlines())
        expected = Counter(f"{tag} {i}" for tag in "AB" for i in range(count))
        lost, other = expected - lines, lines - expected
        self.assertEqual((len(lost), len(other)), (0, 0),
                         f"lost {sorted(lost)[:10]}, torn or twice {sorted(other)[:10]}")

    def test_menu_commands_reach_the_companion(self) -> None:
        self.write_scenario([])
        self.start_standin()
        companion, pid = self.start_companion()
        self.start_tray()
        self.session.screen.wait_for_tray_slot(filled=True, name="icon")

        # Open while it runs: a new start without a screen, handed to the running companion.
        mark = self.mark()
        self.menu("open-while-running", RUNNING_MENU, "open")
        opened = self.wait_for_event("open", after=mark, pid=pid)
        self.assertEqual([e.fields for e in self.events("start", mark, pid=opened["from"])],
                         [{"pid": opened["from"], "screen": ""}])

        self.menu("mute", RUNNING_MENU, "mute")
        wait_until(lambda: read_profile(self.seen_path).get("prefs", {}).get("mute_nudges") == "1",
                   "nudges muted in the seen file")

        mark = self.mark()
        self.menu("stop", RUNNING_MENU, "stop")
        stop = self.wait_for_event("stop", after=mark, pid=pid)
        self.assertEqual(self.events("start", mark, pid=stop["from"])[0]["screen"], "stop")
        self.wait_for_event("exit", pid=pid)
        self.assertEqual(self.session.traytool.exit_code(companion), 0)
        self.assertEqual(self.tip_after_tick(), TIP_STOPPED)

        # Stopped: no stop command; the mute toggle, now checked, follows open.
        mark = self.mark()
        self.menu("unmute-while-stopped", STOPPED_MENU, "mute")
        wait_until(lambda: read_profile(self.seen_path).get("prefs", {}).get("mute_nudges") == "0",
                   "nudges unmuted in the seen file")
        self.assertEqual(self.events("start", after=mark), [], simulator.record_text(self.record))

        # Open while stopped starts the companion itself.
        mark = self.mark()
        self.menu("open-while-stopped", STOPPED_MENU, "open")
        started = self.wait_for_event("running", after=mark)
        self.assertNotEqual(started["pid"], pid)
        self.assertEqual(self.events("start", mark, pid=started["pid"])[0]["screen"], "")
        self.assertEqual(self.tip_after_tick(), TIP_RUNNING)
        # The program started this one; ending it is this test's business.
        self.stop_companion_from_outside(started["pid"])
        self.assert_record_clean()


if __name__ == "__main__":
    harness.main()
