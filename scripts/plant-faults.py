#!/usr/bin/env python3
"""Plants one small fault at a time in the program's logic and tells which ones no test notices.

    scripts/plant-faults.py [--list] [--only PATTERN] [--mutant ID]... [--sample N --seed S]
                            [--build-dir DIR] [--seeds K]

Each fault is one change in one place of src/ (the Windows layer src/platform aside): a comparison
turned into its neighbour (== and !=, < and <=, > and >=), && and || swapped, a ! dropped, + and -
swapped, true and false swapped, a number moved by one up or down, a statement that calls
something removed. For each, in turn: the file is changed, the logic tests and the simulation are
built (in DIR, build/plant-faults by default, a mingw build of its own), the logic tests run (all of
them, stopping at the first failure), and when they pass, the simulated world from K seeds (1,000
by default, as in the logic tests). The file is put back after every fault, also when the run is
interrupted.

Each fault ends as one of: caught by the logic tests, caught by the simulation, survived (no test
failed), or did not build (not counted). The report, one line a fault and the score (caught among
those that built), goes to DIR/plant-faults-report.txt and the survivors to the screen; --list
only lists the faults with their ids. It takes about half a minute a fault on two cores: --only
(a substring of the path), --mutant and --sample pick some. Not part of CI."""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, Sequence

ROOT = Path(__file__).resolve().parent.parent


@dataclasses.dataclass(frozen=True)
class Fault:
    path: Path  # relative to ROOT
    line: int  # 1-based
    start: int  # offset in the file
    end: int
    replacement: str
    what: str

    @property
    def ident(self) -> str:
        return f"{self.path}:{self.line}:{self.start}:{self.replacement.strip() or 'removed'}"

    def describe(self) -> str:
        return f"{self.path}:{self.line}: {self.what}"


# --- finding the places -------------------------------------------------------------------------

TOKEN = re.compile(r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:L|u8|u|U)?"(?:\\.|[^"\\\n])*"|(?:L|u8|u|U)?'(?:\\.|[^'\\\n])*')
  | (?P<preprocessor>^[ \t]*\#[^\n]*)
  | (?P<number>\b\d+[uUlL]*\b)
  | (?P<word>\b(?:true|false)\b)
  | (?P<operator>\ (?:==|!=|<=|>=|&&|\|\||<|>|\+|-)\ )
  | (?P<negation>(?<=[(\s])!(?=[A-Za-z_(]))
""", re.VERBOSE | re.DOTALL | re.MULTILINE)

SWAPS = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">", "&&": "||",
         "||": "&&", "+": "-", "-": "+", "true": "false", "false": "true"}

# A statement that is only a call (the whole statement, possibly over several lines), such as
# "platform::PostMessageW(window, WM_NULL, 0, 0);" or "seenFile_.MarkShown(notice.id);".
CALL_START = re.compile(r"^[ \t]*(?!return\b|co_return\b|delete\b|throw\b)"
                        r"(?:[A-Za-z_][\w]*(?:::|\.|->))*[A-Za-z_]\w*\(", re.MULTILINE)


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def call_statements(text: str, code: list[tuple[int, int]]) -> Iterator[tuple[int, int]]:
    """(start, end) of each statement that is a bare call, outside comments and strings."""
    def in_code(offset: int) -> bool:
        return any(start <= offset < end for start, end in code)

    for match in CALL_START.finditer(text):
        begin = match.start() + len(match.group(0)) - len(match.group(0).lstrip())
        if not in_code(begin):
            continue
        depth, index = 0, match.end() - 1
        while index < len(text):
            char = text[index]
            if char == "(":
                depth += 1
            elif char == ")":
                depth -= 1
                if depth == 0:
                    break
            index += 1
        rest = text[index + 1:index + 2]
        if depth == 0 and rest == ";":
            # Not the head of a block or a declaration: the line before ends a statement or block.
            before = text[:begin].rstrip()
            if before.endswith((";", "{", "}", ":")) and not before.endswith("::"):
                yield begin, index + 2


def faults_in(path: Path) -> Iterator[Fault]:
    text = (ROOT / path).read_text()
    code: list[tuple[int, int]] = []
    last = 0
    found: list[Fault] = []
    for match in TOKEN.finditer(text):
        kind = match.lastgroup
        if kind in ("comment", "string", "preprocessor"):
            code.append((last, match.start()))
            last = match.end()
            continue
        token = match.group(0)
        line = line_of(text, match.start())
        if kind == "number":
            digits = re.match(r"\d+", token).group(0)  # type: ignore[union-attr]
            suffix = token[len(digits):]
            value = int(digits)
            for moved in (value + 1, value - 1):
                if moved >= 0:
                    found.append(Fault(path, line, match.start(), match.end(),
                                       f"{moved}{suffix}", f"{token} -> {moved}{suffix}"))
        elif kind == "word":
            found.append(Fault(path, line, match.start(), match.end(), SWAPS[token],
                               f"{token} -> {SWAPS[token]}"))
        elif kind == "operator":
            operator = token.strip()
            found.append(Fault(path, line, match.start(), match.end(), f" {SWAPS[operator]} ",
                               f"{operator} -> {SWAPS[operator]}"))
        elif kind == "negation":
            found.append(Fault(path, line, match.start(), match.end(), "", "! dropped"))
    code.append((last, len(text)))
    for start, end in call_statements(text, code):
        statement = " ".join(text[start:end].split())
        found.append(Fault(path, line_of(text, start), start, end, "",
                           f"call removed: {statement[:70]}"))
    yield from sorted(found, key=lambda fault: (fault.start, fault.replacement))


def all_faults() -> list[Fault]:
    sources = sorted(path.relative_to(ROOT) for path in (ROOT / "src").rglob("*")
                     if path.suffix in (".cpp", ".h") and "platform" not in path.parts)
    return [fault for path in sources for fault in faults_in(path)]


# --- trying one ---------------------------------------------------------------------------------

class Bench:
    def __init__(self, build_dir: Path, seeds: int):
        self.build_dir = build_dir
        self.seeds = seeds
        self.prefix = build_dir / "wineprefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all")

    def configure(self) -> None:
        if not (self.build_dir / "build.ninja").exists():
            subprocess.run(["cmake", "--preset", "mingw", "-B", str(self.build_dir)], cwd=ROOT,
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, str(ROOT / "tests" / "e2e" / "harness"), "server-start",
                        str(self.prefix)], check=True)

    def stop(self) -> None:
        subprocess.run([sys.executable, str(ROOT / "tests" / "e2e" / "harness"), "server-stop",
                        str(self.prefix)], check=False)

    def build(self) -> bool:
        result = subprocess.run(["cmake", "--build", str(self.build_dir), "--target",
                                 "logic_tests", "simulate", "-j2"], cwd=ROOT,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
        return result.returncode == 0

    def run(self, args: list[str], timeout: float, stop_on: str | None = None) -> bool:
        """True when the program passed. A run that outlives timeout counts as failed (a planted
        fault that makes a loop endless is noticed that way)."""
        with subprocess.Popen(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              errors="replace") as process:
            deadline = time.monotonic() + timeout
            failed_early = False
            assert process.stdout is not None
            for line in process.stdout:
                if stop_on is not None and stop_on in line:
                    failed_early = True
                    break
                if time.monotonic() > deadline:
                    break
            if process.poll() is None:
                process.kill()
            status = process.wait()
            if failed_early or time.monotonic() > deadline:
                return False
            return status == 0

    def logic_tests_pass(self) -> bool:
        return self.run([str(self.build_dir / "tests" / "unit" / "logic_tests.exe"),
                         "--gtest_fail_fast", "--gtest_brief=1"], timeout=300)

    def simulation_passes(self) -> bool:
        return self.run([str(self.build_dir / "tests" / "sim" / "simulate.exe"), "--seeds",
                         str(self.seeds), "--from", "1", "--brief", "1"], timeout=900,
                        stop_on="seed ")


def try_fault(bench: Bench, fault: Fault) -> str:
    path = ROOT / fault.path
    original = path.read_bytes()
    text = original.decode()
    try:
        path.write_text(text[:fault.start] + fault.replacement + text[fault.end:])
        if not bench.build():
            return "did not build"
        if not bench.logic_tests_pass():
            return "caught by the logic tests"
        if not bench.simulation_passes():
            return "caught by the simulation"
        return "SURVIVED"
    finally:
        path.write_bytes(original)
        # The next build must see the file as changed again, whatever the clock's resolution.
        os.utime(path, None)


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--only", help="only faults in paths that contain this text")
    parser.add_argument("--mutant", action="append", default=[], help="one fault by its id")
    parser.add_argument("--sample", type=int, help="this many faults picked at random")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "plant-faults")
    parser.add_argument("--seeds", type=int, default=1000, help="simulated runs per fault")
    args = parser.parse_args(argv)

    faults = all_faults()
    if args.only:
        faults = [fault for fault in faults if args.only in str(fault.path)]
    if args.mutant:
        faults = [fault for fault in faults if fault.ident in args.mutant]
    if args.sample is not None and args.sample < len(faults):
        faults = sorted(random.Random(args.seed).sample(faults, args.sample),
                        key=lambda fault: (str(fault.path), fault.start))
    if args.list:
        for fault in faults:
            print(f"{fault.ident}\t{fault.describe()}")
        print(f"{len(faults)} faults")
        return 0

    build_dir = args.build_dir.resolve()
    bench = Bench(build_dir, args.seeds)
    report_path = build_dir / "plant-faults-report.txt"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    bench.configure()
    try:
        if not bench.build() or not bench.logic_tests_pass() or not bench.simulation_passes():
            print("the tests fail without any planted fault: nothing to measure", file=sys.stderr)
            return 2
        build_dir.mkdir(parents=True, exist_ok=True)
        outcomes: dict[str, int] = {}
        survivors: list[Fault] = []
        started = time.monotonic()
        with open(report_path, "w", encoding="utf-8") as report:
            report.write(f"# {len(faults)} faults in src/ (src/platform aside), "
                         f"{args.seeds} simulated runs each\n")
            for number, fault in enumerate(faults, start=1):
                outcome = try_fault(bench, fault)
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
                if outcome == "SURVIVED":
                    survivors.append(fault)
                line = f"{outcome:26s} {fault.describe()}    [{fault.ident}]"
                report.write(line + "\n")
                report.flush()
                print(f"[{number}/{len(faults)}] {line}", flush=True)
            built = len(faults) - outcomes.get("did not build", 0)
            caught = built - outcomes.get("SURVIVED", 0)
            score = f"{caught} of {built} faults that built were caught" + (
                f" ({100 * caught / built:.1f} %)" if built else "")
            summary = [f"# {name}: {count}" for name, count in sorted(outcomes.items())]
            summary.append(f"# score: {score}; {time.monotonic() - started:.0f} s")
            report.write("\n".join(summary) + "\n")
        print("\n".join(summary))
        if survivors:
            print("survivors:")
            for fault in survivors:
                print(f"  {fault.describe()}    [{fault.ident}]")
        print(f"report: {report_path}")
        return 0
    finally:
        bench.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
