"""The bad-input corpus (tests/corpus/*.json) against the real program: state files and seen files
that no companion should ever write, and hostile surroundings for them. One file is one case; see
tests/corpus/README.md for what a case file may say. A case file is checked when it is loaded: a
key that is missing, unknown or of the wrong kind fails the run and names the file, so that a
misspelt key never quietly tests the default.

For every case the program is started afresh on the case's files, then driven through two passes
(a tick, then a click on every balloon until none follows) and a third pass after the state file
has been replaced by a good one that lists a new notice. Whatever the case, the program must:
still run after each pass; show and (where it can store anything) mark the new notice, with the
tooltip of a running companion; keep every mark that the seen file held; show no notice twice
where it can store its mark; hand nothing to the shell or the launcher that the case does not
expect; and end with 0 when its window is closed. Where a case's "checks" say more about what
the program does with its input (its "expected", in words), that is checked as well.

All cases share one desktop and one stand-in for the notification area; each gets its own mutex,
files and work folder."""

from __future__ import annotations

import json
import os
import random
import re
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, replace
from pathlib import Path, PurePosixPath
from typing import Any, Callable

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import Program, TrayTestCase, windows_path  # noqa: E402
from harness.notices import Balloon, Pass, drive_pass  # noqa: E402
from harness.profiles import (ANSI, UTF16, UTF16_BE, encode, lines_text,  # noqa: E402
                               profile_lines, shown_marks)

CORPUS = Path(__file__).resolve().parents[1] / "corpus"

LABELS = {"title": "Vestrel", "running": "Running", "stopped": "Stopped",
          "update_waiting": "Update ready"}
TIP_RUNNING = "Vestrel\nRunning"

# What the seen file holds when a case says nothing about it: marks that must survive, one of
# them written in other letter case, and preferences that let every kind of notice through.
DEFAULT_SEEN = profile_lines({"shown": {"kept-one": 1, "Kept-Two": 1},
                              "prefs": {"mute_nudges": 0, "last_nudge_day": 20000101}})
# ... and the state file: a running companion listing one notice already shown and one new one.
DEFAULT_STATE = [{"state": {"notices": "2"}}, *profile_lines({
    "notice1": {"id": "kept-one", "kind": "info", "title": "Kept one"},
    "notice2": {"id": "fresh", "kind": "info", "title": "Fresh", "body": "New"}})]

PLACEHOLDER = re.compile(r"\{(now|pid|i)([+-]\d+)?\}|\{(.)\*(\d+)\}|\{(work/?|drive|long|record)\}")
ENCODINGS = {"utf-16-le": UTF16, "utf-16-be": UTF16_BE, "latin-1": ANSI}
SETUPS = ("seen-read-only", "seen-locked", "seen-folder", "state-folder",
          "rewrite-state-while-read")


# ---------------------------------------------------------------------------------------------
# The case files, checked on load


class CorpusError(ValueError):
    """A case file that does not follow tests/corpus/README.md."""


def _fail(where: str, problem: str) -> CorpusError:
    return CorpusError(f"{where}: {problem}")


def _check_keys(where: str, data: Any, required: dict[str, Callable[[str, Any], None]],
                optional: dict[str, Callable[[str, Any], None]]) -> None:
    if not isinstance(data, dict):
        raise _fail(where, f"an object was expected, not {data!r}")
    unknown = sorted(set(data) - set(required) - set(optional))
    if unknown:
        raise _fail(where, f"unknown key {', '.join(map(repr, unknown))} (known: "
                           f"{', '.join(sorted({**required, **optional}))})")
    missing = sorted(set(required) - set(data))
    if missing:
        raise _fail(where, f"missing key {', '.join(map(repr, missing))}")
    for key, value in data.items():
        {**required, **optional}[key](f"{where}: {key}", value)


def _kind(*types: type) -> Callable[[str, Any], None]:
    def check(where: str, value: Any) -> None:
        # bool is an int to Python, but never a number here.
        if not isinstance(value, types) or (isinstance(value, bool) and bool not in types):
            raise _fail(where, f"{' or '.join(t.__name__ for t in types)} expected, not "
                               f"{value!r}")
    return check


def _list_of(item: Callable[[str, Any], None]) -> Callable[[str, Any], None]:
    def check(where: str, value: Any) -> None:
        _kind(list)(where, value)
        for number, element in enumerate(value):
            item(f"{where}[{number}]", element)
    return check


def _one_of(*choices: Any) -> Callable[[str, Any], None]:
    def check(where: str, value: Any) -> None:
        if value not in choices:
            raise _fail(where, f"one of {', '.join(map(repr, choices))} expected, not {value!r}")
    return check


def _check_part(where: str, part: Any) -> None:
    if isinstance(part, str):
        return
    if not isinstance(part, dict):
        raise _fail(where, f"a text or an object was expected, not {part!r}")
    if "state" in part:
        _check_keys(where, part, {"state": _kind(dict)}, {})
        for key, value in part["state"].items():
            _kind(str, type(None))(f"{where}: state: {key}", value)
    elif "lines" in part or "for" in part:
        _check_keys(where, part, {"for": _list_of(_kind(int)), "lines": _list_of(_kind(str))}, {})
        if len(part["for"]) != 2:
            raise _fail(where, "for: [first, last] expected")
    else:
        _check_keys(where, part, {"random": _kind(int), "seed": _kind(int)}, {})


def _check_recipe(where: str, recipe: Any) -> None:
    if isinstance(recipe, dict):
        _check_keys(where, recipe, {"parts": _list_of(_check_part)},
                    {"encoding": _one_of(*ENCODINGS), "bom": _kind(bool)})
    else:
        _list_of(_check_part)(where, recipe)


def _check_balloon(where: str, balloon: Any) -> None:
    if not isinstance(balloon, str):
        _check_keys(where, balloon, {"title": _kind(str)},
                    {"text": _kind(str), "icon": _one_of("info", "warning")})


CHECKS = {"tip": _kind(str), "balloons": _list_of(_check_balloon), "marks": _list_of(_kind(str)),
          "kept": _list_of(_kind(str)), "stores": _kind(bool), "reads_state": _kind(bool),
          "once": _kind(bool), "polls": _kind(bool), "opened": _list_of(_kind(str))}


def _check_checks(where: str, checks: Any) -> None:
    _check_keys(where, checks, {}, CHECKS)


CASE_REQUIRED = {"about": _kind(str), "expected": _kind(str)}
def _check_seen(where: str, recipe: Any) -> None:
    if recipe is not None:  # null: no seen file
        _check_recipe(where, recipe)


CASE_OPTIONAL = {"state": _check_recipe, "seen": _check_seen, "state_path": _kind(str),
                 "seen_path": _kind(str), "setup": _one_of(*SETUPS),
                 "rewrite_with": _check_recipe, "known_fault": _kind(str),
                 "checks": _check_checks}


@dataclass
class Case:
    name: str
    data: dict[str, Any]

    @property
    def checks(self) -> dict[str, Any]:
        return self.data.get("checks", {})


def load_case(path: Path) -> Case:
    """One case file, checked against tests/corpus/README.md; CorpusError names the file."""
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise CorpusError(f"{path}: {error}") from None
    _check_keys(str(path), data, CASE_REQUIRED, CASE_OPTIONAL)
    if (data.get("setup") == "rewrite-state-while-read") != ("rewrite_with" in data):
        raise _fail(str(path), "rewrite_with goes with setup rewrite-state-while-read, and only "
                               "with it")
    return Case(path.stem, data)


def load_corpus(folder: Path = CORPUS) -> list[Case]:
    return [load_case(path) for path in sorted(folder.glob("*.json"))]


# ---------------------------------------------------------------------------------------------
# Building a case's files


@dataclass
class CaseContext:
    work: Path
    companion_pid: int
    missing_drive: str
    record_args: Path
    now: Callable[[], int] = lambda: int(time.time())
    index: int | None = None

    def expand(self, text: str) -> str:
        def replace_placeholder(match: re.Match) -> str:
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
            base = {"now": self.now(), "pid": self.companion_pid, "i": self.index}[name]
            if base is None:
                raise ValueError("{i} outside a repeated part")
            return str(base + int(offset or 0))
        return PLACEHOLDER.sub(replace_placeholder, text)


def state_lines(overrides: dict[str, Any]) -> list[str]:
    """[state] of a running companion, labels included; a key set to null is left out."""
    keys: dict[str, Any] = {"written_unix": "{now}", "pid": "{pid}", "status": "running"}
    keys.update({f"label_{name}": text for name, text in LABELS.items()})
    keys.update(overrides)
    return profile_lines({"state": {key: value for key, value in keys.items()
                                    if value is not None}})


def build_file(content: Any, ctx: CaseContext) -> bytes:
    """The bytes of a profile file from a case's recipe (tests/corpus/README.md)."""
    if isinstance(content, dict):
        encoding, bom, parts = content.get("encoding", "utf-16-le"), content.get("bom", True), \
            content["parts"]
    else:
        encoding, bom, parts = "utf-16-le", True, content
    out = bytearray(encode("", ENCODINGS[encoding], mark=bom))

    def text(lines: list[str]) -> None:
        out.extend(encode(lines_text(ctx.expand(line) for line in lines), ENCODINGS[encoding],
                          mark=False))

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
        else:
            out.extend(random.Random(part["seed"]).randbytes(part["random"]))
    return bytes(out)


def renderer(content: Any, ctx: CaseContext) -> Callable[[int], bytes] | None:
    """The file's bytes for a heartbeat of a given time, if the recipe's bytes depend on it;
    None if they do not."""
    if build_file(content, replace(ctx, now=lambda: 0)) == \
            build_file(content, replace(ctx, now=lambda: 1)):
        return None
    # Each build its own context: the heartbeat's thread must not share the repeated parts'
    # counter.
    return lambda written_unix: build_file(content, replace(ctx, now=lambda: written_unix))


def linux_path(path: str, work: Path) -> Path | None:
    """The Linux file behind a Windows path on drive Z:, or behind a bare file name (the program
    runs in the case's folder, and takes a bare name as a file there); None for any other."""
    if not any(c in path for c in "\\/:"):
        return work / path
    if path[:2].upper() != "Z:":
        return None
    return Path(PurePosixPath(path[2:].replace("\\", "/")))


class StateRewriter(threading.Thread):
    """Rewrites the state file in place, in small pieces and over and over, alternating between
    two versions (each with the time of now): the program's reads land in the middle of
    writes."""

    def __init__(self, path: Path, versions: list[Callable[[], bytes]]):
        super().__init__(daemon=True)
        self.path, self.versions = path, versions
        self.stop = threading.Event()
        self.rounds = 0

    def run(self) -> None:
        while not self.stop.is_set():
            data = self.versions[self.rounds % len(self.versions)]()
            with open(self.path, "r+b", buffering=0) as file:
                file.truncate(0)
                for start in range(0, len(data), 4093):
                    file.write(data[start:start + 4093])
            self.rounds += 1


class BadInput(TrayTestCase):
    """Every case on one desktop (setUpClass), with one stand-in and one live companion
    process; each case has its own work folder, files and mutex."""

    standin: harness.Standin
    companion_pid: int
    missing_drive: str
    record_args: Path

    @classmethod
    def setUpClass(cls) -> None:
        cls.session = harness.current_session()
        cls.session.fresh_desktop()
        cls.session.begin_test("corpus.BadInput.shared")
        cls.record_args = cls.session.config.tool("record-args")
        cls.standin = cls.session.start_standin(forward=False)
        _, cls.companion_pid = cls.session.traytool.hold()
        for scheme in ("https", "http"):
            cls.session.registry.set_url_handler(scheme, cls.record_args)
        drives = {p.name.lower() for p in (cls.session.config.prefix / "dosdevices").iterdir()}
        cls.missing_drive = next(f"{d}:" for d in "qrstuvwxy" if f"{d}:" not in drives)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.session.end_programs()

    def setUp(self) -> None:
        # The desktop of setUpClass stays; the work folder is the case's own.
        self.begin_work()

    # -- one case ---------------------------------------------------------------------------

    def run_case(self, case: Case) -> None:
        session = self.session
        work = self.work
        ctx = CaseContext(work, self.companion_pid, self.missing_drive, self.record_args)
        checks = case.checks
        stores = checks.get("stores", True)
        state_win = ctx.expand(case.data.get("state_path", "{work}\\state.ini"))
        seen_win = ctx.expand(case.data.get("seen_path", "{work}\\seen.ini"))
        state_path, seen_path = linux_path(state_win, work), linux_path(seen_win, work)
        if state_path is not None:
            self.state_path = state_path

        state_recipe = case.data.get("state", DEFAULT_STATE)
        state_bytes = build_file(state_recipe, ctx)
        if state_path is not None:
            state_path.parent.mkdir(parents=True, exist_ok=True)
            state_path.write_bytes(state_bytes)
        seen_content = case.data.get("seen", DEFAULT_SEEN)
        if seen_content is not None and seen_path is not None:
            seen_path.parent.mkdir(parents=True, exist_ok=True)
            seen_path.write_bytes(build_file(seen_content, ctx))
        seen_before = read_if_file(seen_path)
        kept = {m.lower() for m in checks["kept"]} if "kept" in checks else \
            shown_marks(seen_before or b"")
        rewriter = self.set_up_surroundings(case, ctx, state_path, seen_path, seen_win,
                                            state_recipe)
        # A heartbeat in the file stays fresh for as long as the case runs, however slow the
        # machine (the program counts the companion as stopped after 90 s).
        render = renderer(state_recipe, ctx)
        if render is not None and rewriter is None and state_path is not None and \
                state_path.is_file():
            self.write_bad_state(render)

        mark = self.standin.count()
        tray = self.start_tray(
            ["--mutex", f"vestrel-bad-input-{case.name}", "--state", state_win, "--seen", seen_win,
             "--pythonw", windows_path(self.pythonw),
             "--launcher", windows_path(self.launcher)])
        self.addCleanup(self.end_tray, tray)
        self.wait_for_message_loop(mark)

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
        reads_state = checks.get("reads_state", True)
        if reads_state:
            if state_path.is_dir():
                state_path.rmdir()
            # In the place of the case's own state file, whose heartbeat ends here.
            self.write_state(labels=LABELS, notices=[{
                "id": f"probe-{case.name}", "kind": "info", "title": "Probe",
                "body": "Still here"}])
            probe = drive_pass(session, self.standin, mark)
        session.traytool.close()
        self.assertEqual(session.traytool.exit_code(tray), 0,
                         f"exit code; stderr: {tray.stderr()[-2000:]!r}")
        self.assertTrue(session.traytool.wait_gone(10), "the window outlived the process")
        self.doCleanups()  # lets go of the seen file before it is read

        seen_after = read_if_file(seen_path)
        marks_after = shown_marks(seen_after or b"")
        print(f"\n  {case.name}: " + "; ".join(
            f"pass {n}: tip {short(p.tips[:1])}, balloons {short(p.titles)}"
            for n, p in enumerate(passes + ([probe] if probe else []), start=1))
            + f"; marks added {short(sorted(marks_after - kept))}", file=sys.stderr)

        self.check_case_outcome(case, ctx, passes)
        # While the seen file cannot be opened at all, no pass may poll: its marks would read as
        # missing and every notice already shown would come back.
        polls = checks.get("polls", True)
        if not polls:
            for number, p in enumerate(passes + ([probe] if probe else []), start=1):
                self.assertEqual(p.titles, [], f"balloons of pass {number}")
        if probe is not None:
            self.assertEqual(probe.tips[:1], [TIP_RUNNING], "tooltip after a good state file")
        if probe is not None and polls:
            self.assertEqual(probe.titles, ["Probe"], "balloons after a good state file")
        # Once in a run, whether or not its mark could be stored: the program remembers for the
        # run what it has shown.
        if checks.get("once", True):
            shown = [t for p in passes + ([probe] if probe else []) for t in p.titles]
            self.assertEqual(len(shown), len(set(shown)), f"a notice came twice: {shown}")
        self.assertLessEqual(kept, marks_after, "marks lost from the seen file")
        if not stores:
            self.assertEqual(seen_after, seen_before, "the seen file changed")
            if seen_path is not None and seen_path.is_dir():
                self.assertEqual([p.name for p in seen_path.iterdir()], ["inside.txt"],
                                 "what the folder at the seen path holds")
        elif reads_state:
            self.assertIn(f"probe-{case.name}", marks_after, "the new notice's mark")
            if "marks" in checks:
                wanted = {ctx.expand(m).lower() for m in checks["marks"]}
                self.assertEqual(marks_after - kept - {f"probe-{case.name}"}, wanted,
                                 "marks added")

        opened = [ctx.expand(line) for line in checks.get("opened", [])]
        self.assertEqual(self.starts(), opened, "started by balloon clicks")

    def set_up_surroundings(self, case: Case, ctx: CaseContext, state_path: Path | None,
                            seen_path: Path | None, seen_win: str,
                            state_recipe: Any) -> StateRewriter | None:
        setup = case.data.get("setup")
        if setup is None:
            return None
        if setup == "seen-read-only":
            make_read_only(self, seen_path)
        elif setup == "seen-locked":
            hold_file = self.session.config.hold_file_exe
            if not hold_file.is_file():
                self.fail(f"this case needs hold-file.exe (--hold-file), not at {hold_file}")
            holder = self.session.programs.start(hold_file, seen_win, name="hold-file")
            self.addCleanup(holder.kill)
            holder.wait_for_output("held")
        elif setup == "seen-folder":
            seen_path.mkdir(parents=True)
            (seen_path / "inside.txt").write_text("left alone\n")
        elif setup == "state-folder":
            state_path.unlink()
            state_path.mkdir()
        elif setup == "rewrite-state-while-read":
            own = replace(ctx)  # its own counter for repeated parts, on its own thread
            return StateRewriter(state_path, [
                lambda: build_file(state_recipe, own),
                lambda: build_file(case.data["rewrite_with"], own)])
        else:
            raise ValueError(f"unknown setup {setup!r}")
        return None

    def check_case_outcome(self, case: Case, ctx: CaseContext, passes: list[Pass]) -> None:
        """What the case's checks say about its first pass (and, where nothing can be stored,
        about every pass)."""
        checks = case.checks
        if "tip" in checks:
            self.assertEqual(passes[0].tips[:1], [ctx.expand(checks["tip"])], "tooltip")
        if "balloons" not in checks:
            return
        wanted = [Balloon(ctx.expand(b["title"]), ctx.expand(b.get("text", " ")),
                          b.get("icon", "info")) if isinstance(b, dict)
                  else ctx.expand(b) for b in checks["balloons"]]
        shown = list(passes[0].balloons)
        if not any(isinstance(b, Balloon) for b in wanted):
            shown = [b.title for b in shown]
        self.assertEqual(shown, wanted, "balloons of pass 1")

    def end_tray(self, tray: Program) -> None:
        if tray.running():
            tray.kill()
            self.session.traytool.wait_gone(10)


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


class CorpusFormat(unittest.TestCase):
    """The loader refuses a case file that breaks the format, naming the file: a misspelt key
    would otherwise test the default quietly. Runs without the bench."""

    GOOD = {"about": "A case.", "expected": "What the program does.",
            "state": [{"state": {"notices": "1"}}, "[notice1]", "id=a"],
            "checks": {"balloons": ["A"], "stores": True}}

    def test_every_case_of_the_corpus_loads(self) -> None:
        self.assertGreater(len(load_corpus()), 0, f"no case in {CORPUS}")

    def test_a_case_that_breaks_the_format_is_refused_by_name(self) -> None:
        without_expected = {k: v for k, v in self.GOOD.items() if k != "expected"}
        cases = {
            "expected misspelt": {**without_expected, "expectd": "x"},
            "missing about": {k: v for k, v in self.GOOD.items() if k != "about"},
            "misspelt check": {**self.GOOD, "checks": {"ballons": ["A"]}},
            "check of the wrong kind": {**self.GOOD, "checks": {"stores": "no"}},
            "unknown setup": {**self.GOOD, "setup": "seen-lokced"},
            "rewrite_with without its setup": {**self.GOOD, "rewrite_with": []},
            "unknown part": {**self.GOOD, "state": [{"stat": {}}]},
            "unknown encoding": {**self.GOOD, "seen": {"encoding": "utf-8", "parts": []}},
            "balloon with an unknown icon": {**self.GOOD, "checks": {
                "balloons": [{"title": "A", "icon": "error"}]}},
        }
        with tempfile.TemporaryDirectory() as folder:
            good = Path(folder) / "good.json"
            good.write_text(json.dumps(self.GOOD), encoding="utf-8")
            self.assertEqual(load_case(good).checks, self.GOOD["checks"])
            for name, data in cases.items():
                with self.subTest(name):
                    path = Path(folder) / "broken-case.json"
                    path.write_text(json.dumps(data), encoding="utf-8")
                    with self.assertRaises(CorpusError) as refused:
                        load_case(path)
                    self.assertIn(str(path), str(refused.exception))


def _make_test(case: Case):
    def test(self: BadInput) -> None:
        self.run_case(case)
    test.__doc__ = case.data["about"]
    # A fault the case found and that is not mended yet: reported, and the run turns red as
    # soon as the case passes, so that the mark is taken away with the fix.
    return unittest.expectedFailure(test) if case.data.get("known_fault") else test


for _case in load_corpus():
    setattr(BadInput, "test_" + _case.name.replace("-", "_"), _make_test(_case))


if __name__ == "__main__":
    harness.main()
