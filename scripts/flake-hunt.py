#!/usr/bin/env python3
"""Runs a test command many times in a row, optionally beside a CPU load, and keeps the whole
output of every run that fails.

    scripts/flake-hunt.py --runs N [--load K] [--label NAME] [--keep-passing] -- COMMAND...

for example

    scripts/flake-hunt.py --runs 10 -- ctest --preset mingw-e2e
    scripts/flake-hunt.py --runs 5 --load 2 -- ctest --preset mingw-e2e
    scripts/flake-hunt.py --runs 10 -- ctest --preset mingw-logic

Each run's output goes to build/flake-hunt/<time>-<label>/run-NN.log; a run that ends with status
0 has its file removed (unless --keep-passing), a failed one keeps it. With --load K, K processes
that only spin keep K cores busy for the whole hunt. summary.txt beside the logs has one line per
run (status, seconds, the load average, the ctest entries that failed) and the files that the
failed entries left in a build tree's failed-tests/ (every ctest entry of the cross build keeps its
whole output there when it fails). Exit status 1 when any run failed.

The command runs in the repository's root folder, as it is given: build first, the hunt builds
nothing."""

from __future__ import annotations

import argparse
import ctypes
import datetime
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Sequence

ROOT = Path(__file__).resolve().parent.parent


def die_with_parent() -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)


def start_load(cores: int) -> list[subprocess.Popen]:
    spin = "while True:\n    pass\n"
    return [subprocess.Popen([sys.executable, "-c", spin], preexec_fn=die_with_parent)
            for _ in range(cores)]


def failed_entries(output: str) -> list[str]:
    """The entries under ctest's "The following tests FAILED:", by name."""
    names: list[str] = []
    lines = output.splitlines()
    for index, line in enumerate(lines):
        if line.startswith("The following tests FAILED:"):
            for entry in lines[index + 1:]:
                match = re.match(r"\s+\d+ - (\S+)", entry)
                if not match:
                    break
                names.append(match.group(1))
    return names


def kept_outputs() -> set[Path]:
    return set((ROOT / "build").glob("*/failed-tests/*.log"))


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--load", type=int, default=0, metavar="K",
                        help="keep K cores busy beside the runs")
    parser.add_argument("--label", help="names the hunt's folder (default: from the command)")
    parser.add_argument("--keep-passing", action="store_true",
                        help="keep the output of runs that passed, too")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command or args.runs < 1:
        parser.error("give --runs N and a command after --")

    label = args.label or re.sub(r"[^A-Za-z0-9_.-]+", "-", " ".join(command)).strip("-")[:60]
    if args.load:
        label += f"-load{args.load}"
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = ROOT / "build" / "flake-hunt" / f"{stamp}-{label}"
    folder.mkdir(parents=True)
    summary = folder / "summary.txt"

    def note(line: str) -> None:
        print(line, flush=True)
        with open(summary, "a", encoding="utf-8") as out:
            out.write(line + "\n")

    note(f"command: {subprocess.list2cmdline(command)}")
    note(f"runs: {args.runs}, load: {args.load} busy core(s) beside them, "
         f"machine: {os.cpu_count()} cores")
    load = start_load(args.load)
    failures = 0
    try:
        for run in range(1, args.runs + 1):
            log = folder / f"run-{run:02d}.log"
            before = kept_outputs()
            started = time.monotonic()
            with open(log, "wb") as out:
                status = subprocess.run(command, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.STDOUT, check=False).returncode
            seconds = time.monotonic() - started
            average = os.getloadavg()[0]
            if status == 0:
                if not args.keep_passing:
                    log.unlink()
                note(f"run {run:2d}: passed in {seconds:.0f} s (load average {average:.1f})")
                continue
            failures += 1
            output = log.read_text(errors="replace")
            entries = failed_entries(output)
            note(f"run {run:2d}: FAILED (status {status}) in {seconds:.0f} s "
                 f"(load average {average:.1f}): {', '.join(entries) or 'see the log'}; "
                 f"output kept in {log.relative_to(ROOT)}")
            for kept in sorted(kept_outputs() - before):
                note(f"        kept by the failed entry: {kept.relative_to(ROOT)}")
    finally:
        for spinner in load:
            spinner.kill()
            spinner.wait()
    note(f"{args.runs - failures} of {args.runs} runs passed; summary in "
         f"{summary.relative_to(ROOT)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
