"""Soak: the real program for more than ten thousand ticks while a companion rewrites the state
file twenty times a second with a changing list of notices, and the shell (played by the test)
closes each balloon. Afterwards every notice was shown exactly once, the program still runs and
has not grown, and its seen file holds every mark, old and new.

The program's own work is the soak's time: every tick reads up to 310 profile values from a
state file that is never older than 2.1 s, so Wine parses the whole file again for each of them
(docs/performance.md). The test's part is kept small: one traytool process posts every tick and
event (traytool serve), the stand-in's log is read only where it grew, and the companion writes
on a fixed schedule. At the end the soak prints ticks per second and the processor time of each
process (docs/reliability.md has the figures)."""

from __future__ import annotations

import collections
import datetime
import resource
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIIF_INFO, NIIF_WARNING, NIN_BALLOONHIDE, NIN_BALLOONTIMEOUT,  # noqa: E402
                     TrayTestCase, read_profile, wait_until, write_profile)
from harness.profiles import UTF16, decode, encoding_of  # noqa: E402
from harness.shell import RequestLog  # noqa: E402
from harness.footprint import (Footprint, footprint, private_memory,  # noqa: E402
                               processor_seconds)
from harness.soak import MAX_SECTIONS, Companion, notice_body, notice_title  # noqa: E402

LABELS = {"title": "Vestrel soak", "stopped": "Stopped", "running": "Running"}
OLD_IDS = [f"old-{number:02d}" for number in range(1, 21)]

TICKS = 10_000
FULL_BURSTS = 10  # with the list full, at the start and at the end
# Small bursts keep the program's queue far below the 10,000 posted messages Windows allows. A
# burst is longer than the 30 ticks after which a program may end a balloon by itself; nothing
# here counts on one balloon per posted end, and a request that takes a balloon down is not a
# balloon (harness.shell.is_balloon).
BURST = 50
# From warm-up to the end, measured in eight runs (docs/reliability.md): handle rows equal, memory
# between -784 and +192 KiB, a few hundred new marks included. One queued notice holds about
# 40 KiB; the bound allows for the noise and twice the largest growth measured, and catches a
# steady leak of more than about 60 bytes a tick.
HANDLE_TOLERANCE = 2
MEMORY_TOLERANCE = 512 * 1024


class Soak(TrayTestCase):
    MUTEX = "vestrel-soak"

    def test_ten_thousand_ticks_under_a_busy_companion(self) -> None:
        day_began = datetime.date.today()
        standin = self.start_standin(forward=False)
        self.standin_unix_pid = standin.popen.pid
        seen_path = self.seen_path
        # The nudge of an earlier day does not hold back today's.
        write_profile(seen_path, {"shown": {old: 1 for old in OLD_IDS},
                                  "prefs": {"last_nudge_day": "20000101"}})
        # The soak's own companion writes the state file, through the package as the kit's
        # does, but many times a second and with each notice in a section of its choosing.
        self.requests = RequestLog(standin.log)
        self.soak_companion = Companion(self.state_path, self.live_companion_pid(), LABELS,
                                        self.requests, OLD_IDS, seed=20260101)
        self.soak_companion.state.write()  # nothing listed yet
        tray = self.start_tray()
        window = self.window
        standin.wait_for(lambda r: r["op"] == "setversion", "the icon to be set up")
        # Started after the program, so never the first program of the desktop (it talks
        # through pipes).
        self.driver = self.session.traytool.driver()
        self.addCleanup(self.driver.stop)

        self.start_refreshes = self.requests.poll()
        self.posted = 0
        self.memory: dict[str, list[tuple[int, int]]] = {}
        self.soak_companion.start()
        self.addCleanup(self.soak_companion.stop)
        samples: list[tuple[str, Footprint]] = []
        started = time.monotonic()
        test_cpu_before = resource.getrusage(resource.RUSAGE_SELF)
        self.posted_events = 0

        def measure(moment: str) -> Footprint:
            moment += f" ({time.monotonic() - started:.0f} s)"
            samples.append((moment, footprint(self.driver.stats, window["pid"],
                                              tray.popen.pid)))
            return samples[-1][1]

        # The first and the last phases are alike: the most the program reads listed and its
        # queue filled to the companion's bound, then nothing listed and nothing waiting. The
        # heap's peak in each is compared; where it stands at any one moment depends on what
        # the heap happened to give back, by as much as 900 KiB (measured).
        self.phase = "first"
        self.drive_full()
        self.quiet()
        before = measure(f"after {self.posted} ticks")
        self.phase = "middle"
        self.soak_companion.list_at_most(None)
        for checkpoint in range(self.posted + 2_000, TICKS, 2_000):
            self.drive(checkpoint)
            measure(f"after {self.posted} ticks, busy")
        self.drive(TICKS)
        self.phase = "last"
        self.drive_full()
        self.quiet()
        after = measure(f"after {self.posted} ticks")

        self.assertTrue(tray.running(), f"the program ended: {tray.stderr()!r}")
        self.driver.tick(send=True)  # still answering
        ticking = time.monotonic() - started
        self.soak_companion.stop()
        self.assertIsNone(self.soak_companion.error,
                          f"the companion failed: {self.soak_companion.error!r}")
        # Where the time went: the processor time of each process while the ticks ran.
        used = self.processor_time(test_cpu_before)
        # Posted behind everything else: once it has ended, every tick and event was handled.
        self.driver.close()
        self.assert_tray_ended(tray)
        handled = self.requests.poll() - self.start_refreshes
        log = self.soak_companion.record
        nudge_balloons = sum(1 for b in self.requests.balloons
                             if log.kinds.get(b["szInfoTitle"].removeprefix("Soak ")) == "nudge")
        print(f"\nsoak: {self.posted} ticks posted in {ticking:.0f} s, "
              f"{self.posted / ticking:.1f} ticks per second; {handled} handled (the program's "
              f"own timer included); {log.rewrites} state files written "
              f"({log.rewrites / ticking:.1f} a second), {len(log.kinds)} ids listed "
              f"({log.new_ids} new, at most {log.largest_listing} at once), "
              f"{len(self.requests.balloons)} balloons ({nudge_balloons} of nudges), "
              f"{self.posted_events} balloon ends posted, {self.requests.taken_down} balloons "
              f"taken down by the program\n"
              f"  processor time: {used}\n"
              + "\n".join(f"  {moment}: {counters.describe()}" for moment, counters in samples)
              + "\n" + "\n".join(
                  f"  peak in the {phase} phase ({len(taken)} samples): anonymous="
                  f"{max(s[0] for s in taken) // 1024} KiB data={max(s[1] for s in taken) // 1024}"
                  f" KiB" for phase, taken in self.memory.items()), file=sys.stderr)
        self.assertGreaterEqual(self.posted, TICKS)
        self.assertGreaterEqual(handled, self.posted)

        shown = collections.Counter()
        with self.subTest("balloons"):
            for balloon in self.requests.balloons:
                notice_id = balloon["szInfoTitle"].removeprefix("Soak ")
                self.assertIn(notice_id, log.kinds, f"balloon of nothing listed: {balloon}")
                kind = log.kinds[notice_id]
                self.assertEqual(
                    (balloon["szInfoTitle"], balloon["szInfo"], balloon["dwInfoFlags"]),
                    (notice_title(notice_id), notice_body(notice_id, kind),
                     NIIF_WARNING if kind == "danger" else NIIF_INFO), "another notice's texts")
                shown[notice_id] += 1
            self.assertEqual([i for i, times in shown.items() if times > 1], [], "shown twice")
            self.assertEqual(sorted(set(OLD_IDS) & set(shown)), [],
                             "shown although marked as shown before the start")
            due = {i for i in log.read_by_a_pass if log.kinds[i] != "nudge"} - set(OLD_IDS)
            shown_due = {i for i in shown if log.kinds[i] != "nudge"}
            self.assertEqual({i: log.history[i] for i in sorted(due - shown_due)}, {},
                             "read by a whole pass, never shown: (section, listed from "
                             "refresh, to refresh)")
            self.assertEqual(sorted(shown_due - due), [], "shown, never read by a whole pass")
        nudges = sorted(i for i in shown if log.kinds[i] == "nudge")
        with self.subTest("one nudge a day"):
            # A nudge waiting behind other balloons is the day's nudge, and once its balloon is
            # out the day is stamped: so one nudge balloon a day, and a nudge first listed only
            # after it is never shown.
            nudge_balloons = [b for b in self.requests.balloons
                              if log.kinds.get(b["szInfoTitle"].removeprefix("Soak ")) == "nudge"]
            if day_began == datetime.date.today():
                self.assertLessEqual(len(nudge_balloons), 1,
                                     [b["szInfoTitle"] for b in nudge_balloons])
            if nudge_balloons:
                stamped_at = nudge_balloons[0]["refreshes_before"]
                late = {}
                for balloon in nudge_balloons:
                    notice_id = balloon["szInfoTitle"].removeprefix("Soak ")
                    first_listed = min(first for _, first, _ in log.history[notice_id])
                    if first_listed > stamped_at:
                        late[notice_id] = first_listed
                self.assertEqual(late, {}, f"nudges first listed after refresh {stamped_at}, "
                                           "when the day was already stamped")

        with self.subTest("no growth"):
            self.assertLessEqual(abs(after.handles - before.handles), HANDLE_TOLERANCE,
                                 f"handles: {before.describe()} -> {after.describe()}")
            for measure_name, index in (("anonymous", 0), ("data", 1)):
                first, last = (max(sample[index] for sample in self.memory[phase])
                               for phase in ("first", "last"))
                self.assertLess(last - first, MEMORY_TOLERANCE,
                                f"peak {measure_name} memory: {first // 1024} KiB in the first "
                                f"phase, {last // 1024} KiB in the last")

        with self.subTest("seen file"):
            # As the program left it on disk: every mark of before, and one for each balloon.
            raw = seen_path.read_bytes()
            self.assertEqual(encoding_of(raw), UTF16, "byte-order mark")
            decode(raw, strict=True)  # fails on a broken code unit
            seen = read_profile(seen_path)
            marks = seen.get("shown", {})
            self.assertEqual(sorted(marks), sorted(i.lower() for i in [*OLD_IDS, *shown]))
            self.assertEqual(set(marks.values()), {"1"})
            if nudges:
                self.assertEqual(seen["prefs"]["last_nudge_day"],
                                 datetime.date.today().strftime("%Y%m%d"))

    # -- the shell's part --------------------------------------------------------------------

    def processor_time(self, test_before: resource.struct_rusage) -> str:
        test_now = resource.getrusage(resource.RUSAGE_SELF)
        test = (test_now.ru_utime + test_now.ru_stime
                - test_before.ru_utime - test_before.ru_stime)
        parts = {"program": processor_seconds(self.tray.popen.pid),
                 "wineserver": processor_seconds(self.session.prefix.server_pid),
                 "test (companion, log, checks)": test,
                 "traytool serve": processor_seconds(self.driver.program.popen.pid),
                 "shell stand-in": processor_seconds(self.standin_unix_pid)}
        return ", ".join(f"{name} {seconds:.1f} s" for name, seconds in parts.items())

    def post_ticks(self) -> None:
        self.driver.tick(BURST)
        self.posted += BURST

    def post_event(self, event: int) -> None:
        self.driver.event(event)
        self.posted_events += 1

    def wait_for_ticks(self, behind: int) -> None:
        """Until all but `behind` of the posted ticks are handled. The program's own timer adds
        a tick every ten seconds, so a count within a burst means a little less than it says;
        what has to be handled for sure is followed by a whole burst before it is waited for."""
        target = self.start_refreshes + self.posted - behind
        wait_until(lambda: self.companion_ok() and self.requests.poll() >= target,
                   f"{self.posted - behind} ticks to be handled", timeout=60, interval=0.02)

    def cycle(self, event: int = NIN_BALLOONTIMEOUT) -> None:
        """A burst of ticks and a balloon's end, with no more than two bursts waiting."""
        self.post_ticks()
        self.post_event(event)
        self.wait_for_ticks(behind=BURST)
        self.memory.setdefault(self.phase, []).append(private_memory(self.tray.popen.pid))

    def drive(self, ticks: int) -> None:
        number = 0
        while self.posted < ticks:
            number += 1
            # Now and then the balloon is hidden rather than timed out; both end it.
            self.cycle(NIN_BALLOONHIDE if number % 7 == 0 else NIN_BALLOONTIMEOUT)

    def drive_full(self) -> None:
        self.soak_companion.list_at_most(MAX_SECTIONS, fill=True)
        for _ in range(200):
            if self.soak_companion.full():
                break
            self.cycle()
        else:
            self.fail("the companion did not fill its list after 200 bursts of ticks")
        for _ in range(FULL_BURSTS):
            self.cycle()

    def quiet(self) -> None:
        """Nothing listed, then a balloon's end for each notice that may still wait."""
        self.soak_companion.stop_adding()
        for _ in range(100):
            if self.soak_companion.idle():
                break
            self.cycle()
        else:
            self.fail("the companion still listed notices after 100 bursts of ticks")
        self.wait_for_ticks(behind=0)
        shown = {b["szInfoTitle"].removeprefix("Soak ") for b in self.requests.balloons}
        for _ in set(self.soak_companion.record.kinds) - set(OLD_IDS) - shown:
            self.post_event(NIN_BALLOONTIMEOUT)
        self.post_ticks()
        self.wait_for_ticks(behind=0)

    def companion_ok(self) -> bool:
        if self.soak_companion.error is not None:
            raise AssertionError(f"the companion failed: {self.soak_companion.error!r}")
        return True


if __name__ == "__main__":
    harness.main()
