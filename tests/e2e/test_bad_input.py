"""The bad-input corpus (tests/corpus/*.json) against the real program: state files and seen files
that no companion should ever write, and hostile surroundings for them. One file is one case; see
tests/corpus/README.md for what a case file may say.

For every case the program is started afresh on the case's files, then driven through two passes
(a tick, then a click on every balloon until none follows) and a third pass after the state file
has been replaced by a good one that lists a new notice. Whatever the case, the program must:
still run after each pass; show and (where it can store anything) mark the new notice, with the
tooltip of a running companion; keep every mark that the seen file held; show no notice twice
where it can store its mark; hand nothing to the shell or the launcher that the case does not
expect; and end with 0 when its window is closed. Where the design says what an input does, the
case's "expect" says it too, and that is checked as well.

All cases share one desktop and one stand-in for the notification area; each gets its own mutex,
files and work folder."""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import stat
import subprocess
import sys
import threading
import time
import unittest
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from harness import Program, windows_path  # noqa: E402
from notice_driver import (Balloon, Pass, drive_pass, record_lines,  # noqa: E402
                           register_url_handler, shown_marks, wait_for_message_loop)

CORPUS = HERE.parent / "corpus"
HOLD_FILE_EXE: Path | None = None

LABELS = {"title": "Vestrel", "running": "Running", "stopped": "Stopped",
          "update_waiting": "Update ready"}
TIP_RUNNING = "Vestrel\nRunning"

# What the seen file holds when a case says nothing about it: marks that must survive, one of
# them written in other letter case, and preferences that let every kind of notice through.
DEFAULT_SEEN = ["[shown]", "kept-one=1", "Kept-Two=1",
                "[prefs]", "mute_nudges=0", "last_nudge_day=20000101"]
# ... and the state file: a running companion listing one notice already shown and one new one.
DEFAULT_STATE = [{"state": {"notices": "2"}},
                 "[notice1]", "id=kept-one", "kind=info", "title=Kept one",
                 "[notice2]", "id=fresh", "kind=info", "title=Fresh", "body=New"]

PLACEHOLDER = re.compile(r"\{(now|pid|i)([+-]\d+)?\}|\{(.)\*(\d+)\}|\{(work/?|drive|long|record)\}")


@dataclass
class CaseContext:
    work: Path
    companion_pid: int
    missing_drive: str
    record_args: Path
    index: int | None = None

    def expand(self, text: str) -> str:
        def replace(match: re.Match) -> str:
            name, offset, char, count, word = match.groups()
            if char is not None:
                return char * int(count)
            if word == "work":
                return windows_path(self.work)
            if word == "work/":
                return windows_path(self.work).replace("\\", "/")
            if word == "drive":
                return self.missing_drive
            if word == "long":
                # Four folders of 70 characters: any path through them is beyond MAX_PATH (260).
                return "\\".join(f"{n}" + "l" * 69 for n in range(1, 5))
            if word == "record":
                return windows_path(self.record_args)
            base = {"now": int(time.time()), "pid": self.companion_pid, "i": self.index}[name]
            if base is None:
                raise ValueError("{i} outside a repeated part")
            return str(base + int(offset or 0))
        return PLACEHOLDER.sub(replace, text)


def state_lines(overrides: dict[str, Any]) -> list[str]:
    """[state] of a running companion, labels included; a key set to null is left out."""
    keys: dict[str, Any] = {"written_unix": "{now}", "pid": "{pid}", "status": "running"}
    keys.update({f"label_{name}": text for name, text in LABELS.items()})
    keys.update(overrides)
    return ["[state]"] + [f"{key}={value}" for key, value in keys.items() if value is not None]


def build_file(content: Any, ctx: CaseContext) -> bytes:
    """The bytes of a profile file from a case's recipe (tests/corpus/README.md)."""
    if isinstance(content, dict) and "parts" in content:
        encoding, bom, parts = content.get("encoding", "utf-16-le"), content.get("bom", True), \
            content["parts"]
    else:
        encoding, bom, parts = "utf-16-le", True, content
    marks = {"utf-16-le": b"\xff\xfe", "utf-16-be": b"\xfe\xff", "latin-1": b""}
    out = bytearray(marks[encoding] if bom else b"")

    def text(lines: list[str]) -> None:
        out.extend("".join(ctx.expand(line) + "\r\n" for line in lines).encode(encoding))

    for part in parts:
        if isinstance(part, str):
            text([part])
        elif "state" in part:
            text(state_lines(part["state"]))
        elif "lines" in part:
            first, last = part["for"]
            for ctx.index in range(first, last + 1):
                text(part["lines"])
            ctx.index = None
        elif "random" in part:
            out.extend(random.Random(part["seed"]).randbytes(part["random"]))
        else:
            raise ValueError(f"unknown part {part!r}")
    return bytes(out)


def linux_path(path: str) -> Path | None:
    """The Linux file behind a Windows path on drive Z:, or None for any other drive."""
    if path[:2].upper() != "Z:":
        return None
    return Path(PurePosixPath(path[2:].replace("\\", "/")))


@dataclass
class Case:
    name: str
    data: dict[str, Any]

    @property
    def expect(self) -> dict[str, Any]:
        return self.data.get("expect", {})


def load_corpus() -> list[Case]:
    return [Case(path.stem, json.loads(path.read_text(encoding="utf-8")))
            for path in sorted(CORPUS.glob("*.json"))]


class StateRewriter(threading.Thread):
    """Rewrites the state file in place, in small pieces and over and over, alternating between
    two versions: the program's reads land in the middle of writes."""

    def __init__(self, path: Path, versions: list[bytes]):
        super().__init__(daemon=True)
        self.path, self.versions = path, versions
        self.stop = threading.Event()
        self.rounds = 0

    def run(self) -> None:
        while not self.stop.is_set():
            data = self.versions[self.rounds % len(self.versions)]
            with open(self.path, "r+b", buffering=0) as file:
                file.truncate(0)
                for start in range(0, len(data), 4093):
                    file.write(data[start:start + 4093])
            self.rounds += 1


class BadInput(unittest.TestCase):
    session: harness.WineSession
    standin: harness.Standin
    companion_pid: int
    missing_drive: str

    @classmethod
    def setUpClass(cls) -> None:
        cls.session = harness.SESSION
        cls.session.fresh_desktop()
        cls.session.begin_test("corpus.BadInput.shared")
        cls.record_args = cls.session.config.tool("record-args")
        cls.standin = cls.session.start_standin(forward=False)
        _, cls.companion_pid = cls.session.hold()
        for scheme in ("https", "http"):
            register_url_handler(cls.session, scheme, cls.record_args)
        drives = {p.name.lower() for p in (cls.session.config.prefix / "dosdevices").iterdir()}
        cls.missing_drive = next(f"{d}:" for d in "qrstuvwxy" if f"{d}:" not in drives)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.session.end_programs()

    # -- one case ---------------------------------------------------------------------------

    def run_case(self, case: Case) -> None:
        session = self.session
        work = session.begin_test(self.id())
        ctx = CaseContext(work, self.companion_pid, self.missing_drive, self.record_args)
        expect = case.expect
        stores = expect.get("stores", True)
        state_win = ctx.expand(case.data.get("state_path", "{work}\\state.ini"))
        seen_win = ctx.expand(case.data.get("seen_path", "{work}\\seen.ini"))
        state_path, seen_path = linux_path(state_win), linux_path(seen_win)
        record = work / "opened.log"

        state_bytes = build_file(case.data.get("state", DEFAULT_STATE), ctx)
        if state_path is not None:
            state_path.parent.mkdir(parents=True, exist_ok=True)
            state_path.write_bytes(state_bytes)
        seen_content = case.data.get("seen", DEFAULT_SEEN)
        if seen_content is not None and seen_path is not None:
            seen_path.parent.mkdir(parents=True, exist_ok=True)
            seen_path.write_bytes(build_file(seen_content, ctx))
        seen_before = read_if_file(seen_path)
        kept = {m.lower() for m in expect["kept"]} if "kept" in expect else \
            shown_marks(seen_before or b"")
        rewriter = self.set_up_surroundings(case, ctx, state_path, seen_path, seen_win,
                                            state_bytes)

        mark = self.standin.count()
        tray = session.start_tray(
            ["--mutex", f"vestrel-bad-input-{case.name}", "--state", state_win, "--seen", seen_win,
             "--pythonw", windows_path(self.record_args),
             "--launcher", windows_path(work / "launcher.py")],
            env={"VESTREL_RECORD_FILE": windows_path(record)})
        self.addCleanup(self.end_tray, tray)
        session.wait_for_tray_window()
        wait_for_message_loop(session, self.standin, mark)

        passes: list[Pass] = []
        if rewriter is not None:
            rewriter.start()
        try:
            for _ in range(2):
                passes.append(drive_pass(session, self.standin, mark))
                mark = self.standin.count()
                self.assertTrue(tray.running(), f"the program ended with {tray.popen.poll()}")
        finally:
            if rewriter is not None:
                rewriter.stop.set()
                rewriter.join(timeout=30)

        # Still serving: a good state file listing a new notice is followed at the next tick.
        probe = None
        reads_state = expect.get("reads_state", True)
        if reads_state:
            if state_path.is_dir():
                state_path.rmdir()
            harness.write_profile(state_path, harness.state_sections(
                self.companion_pid, labels=LABELS, notices=[{
                    "id": f"probe-{case.name}", "kind": "info", "title": "Probe",
                    "body": "Still here"}]))
            probe = drive_pass(session, self.standin, mark)
        session.traytool("close")
        self.assertEqual(tray.wait(), 0, f"exit code; stderr: {tray.stderr()[-2000:]!r}")
        session.traytool("wait-gone", "--timeout-ms", "10000")
        self.doCleanups()  # lets go of the seen file before it is read

        seen_after = read_if_file(seen_path)
        marks_after = shown_marks(seen_after or b"")
        print(f"\n  {case.name}: " + "; ".join(
            f"pass {n}: tip {short(p.tips[:1])}, balloons {short(p.titles)}"
            for n, p in enumerate(passes + ([probe] if probe else []), start=1))
            + f"; marks added {short(sorted(marks_after - kept))}", file=sys.stderr)

        self.check_designed_outcome(case, ctx, passes)
        # While the seen file cannot be opened at all, no pass may poll: its marks would read as
        # missing and every notice already shown would come back.
        polls = expect.get("polls", True)
        if not polls:
            for number, p in enumerate(passes + ([probe] if probe else []), start=1):
                self.assertEqual(p.titles, [], f"balloons of pass {number}")
        if probe is not None:
            self.assertEqual(probe.tips[:1], [TIP_RUNNING], "tooltip after a good state file")
        if probe is not None and polls:
            # Where the mark cannot be stored, the program's own tick may show it once more.
            self.assertEqual(list(dict.fromkeys(probe.titles)), ["Probe"],
                             "balloons after a good state file")
            if stores:
                self.assertEqual(probe.titles, ["Probe"], "balloons after a good state file")
        self.assertLessEqual(kept, marks_after, "marks lost from the seen file")
        if not stores:
            self.assertEqual(seen_after, seen_before, "the seen file changed")
            if seen_path is not None and seen_path.is_dir():
                self.assertEqual([p.name for p in seen_path.iterdir()], ["inside.txt"],
                                 "what the folder at the seen path holds")
        elif reads_state:
            self.assertIn(f"probe-{case.name}", marks_after, "the new notice's mark")
            if "marks" in expect:
                wanted = {ctx.expand(m).lower() for m in expect["marks"]}
                self.assertEqual(marks_after - kept - {f"probe-{case.name}"}, wanted,
                                 "marks added")
            if expect.get("once", True):
                shown = [t for p in passes for t in p.titles]
                self.assertEqual(len(shown), len(set(shown)), f"a notice came twice: {shown}")
        opened = [ctx.expand(line) for line in expect.get("opened", [])]
        self.assertEqual(record_lines(record), opened, "started by balloon clicks")

    def set_up_surroundings(self, case: Case, ctx: CaseContext, state_path: Path | None,
                            seen_path: Path | None, seen_win: str,
                            state_bytes: bytes) -> StateRewriter | None:
        setup = case.data.get("setup")
        if setup is None:
            return None
        if setup == "seen-read-only":
            make_read_only(self, seen_path)
        elif setup == "seen-locked":
            if HOLD_FILE_EXE is None:
                self.fail("this case needs --hold-file PATH of hold-file.exe")
            holder = self.session.start(HOLD_FILE_EXE, seen_win, name="hold-file")
            self.addCleanup(holder.kill)
            holder.wait_for_output("held")
        elif setup == "seen-folder":
            seen_path.mkdir(parents=True)
            (seen_path / "inside.txt").write_text("left alone\n")
        elif setup == "state-folder":
            state_path.unlink()
            state_path.mkdir()
        elif setup == "rewrite-state-while-read":
            return StateRewriter(state_path, [state_bytes,
                                              build_file(case.data["rewrite_with"], ctx)])
        else:
            raise ValueError(f"unknown setup {setup!r}")
        return None

    def check_designed_outcome(self, case: Case, ctx: CaseContext, passes: list[Pass]) -> None:
        expect = case.expect
        if "tip" in expect:
            self.assertEqual(passes[0].tips[:1], [ctx.expand(expect["tip"])], "tooltip")
        if "balloons" not in expect:
            return
        wanted = [Balloon(ctx.expand(b["title"]), ctx.expand(b.get("text", " ")),
                          b.get("icon", "info")) if isinstance(b, dict)
                  else ctx.expand(b) for b in expect["balloons"]]
        for number, got in enumerate(passes, start=1):
            # Where nothing can be stored every pass shows the listed notices anew; the
            # program's own timer may add a round of its own, so count each once.
            shown = list(dict.fromkeys(got.balloons))
            if not any(isinstance(b, Balloon) for b in wanted):
                shown = [b.title for b in shown]
            if number == 1 or not expect.get("stores", True):
                self.assertEqual(shown, wanted, f"balloons of pass {number}")

    def end_tray(self, tray: Program) -> None:
        if tray.running():
            tray.kill()
            self.session.traytool("wait-gone", "--timeout-ms", "10000", check=False)


def read_if_file(path: Path | None) -> bytes | None:
    return path.read_bytes() if path is not None and path.is_file() else None


def short(items: list[str]) -> str:
    """A list of texts cut down for one line of the run's log."""
    texts = [(item if len(item) <= 12 else f"{item[:8]}…({len(item)})").replace("\n", "\\n")
             for item in items]
    if len(texts) > 6:
        texts = texts[:3] + ["…"] + texts[-2:]
    return "[" + ", ".join(texts) + "]"


def make_read_only(test: unittest.TestCase, path: Path) -> None:
    """Takes the write permission away; a root user writes anyway, so there the file is made
    immutable too."""
    path.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    test.addCleanup(path.chmod, stat.S_IRUSR | stat.S_IWUSR)
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode != 0:
            test.skipTest("a root user cannot be kept from writing a file here (chattr +i)")
        test.addCleanup(subprocess.run, ["chattr", "-i", str(path)], check=True)


def _make_test(case: Case):
    def test(self: BadInput) -> None:
        self.run_case(case)
    test.__doc__ = case.data.get("about")
    # A fault the case found and that is not mended yet: reported, and the run turns red as
    # soon as the case passes, so that the mark is taken away with the fix.
    return unittest.expectedFailure(test) if case.data.get("known_fault") else test


for _case in load_corpus():
    setattr(BadInput, "test_" + _case.name.replace("-", "_"), _make_test(_case))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--hold-file", type=Path)
    known, rest = parser.parse_known_args(sys.argv[1:])
    sys.argv[1:] = rest
    HOLD_FILE_EXE = known.hold_file
    harness.main()
