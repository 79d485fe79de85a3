#!/usr/bin/env python3
"""Runs one test command and keeps its whole output in a file of its own when it fails.

    keep_failed_output.py --keep-in DIR [--name NAME] -- COMMAND [ARGUMENT...]

Every ctest entry runs through this, and scripts/test.sh runs the package's tests through it, so
that no failure's output is lost: a later run, a console that scrolled away or a session that
ended takes nothing with it. The command's standard output and error pass through unchanged and
as they come (ctest reads them, and lists the logic tests' cases from them); meanwhile both go to
DIR/<time>-<name>-<pid>.log, which is deleted when the command ends with status 0 and kept
otherwise. A run that is killed (a ctest time-out) leaves its file too. NAME defaults to the
GoogleTest case of a --gtest_filter argument, else the command's program.

The command gets its own pipes, so a Wine process that lives on after it (a service of the
prefix) holds those, not ctest's: once the command has ended, its output is read for at most
ten seconds more."""

from __future__ import annotations

import argparse
import ctypes
import datetime
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import BinaryIO, Sequence


def test_name(command: Sequence[str]) -> str:
    for argument in command:
        if argument.startswith("--gtest_filter="):
            return argument.split("=", 1)[1]
        if argument == "--gtest_list_tests":
            return Path(command[0]).stem + "-list"
    programs = [Path(word).name for word in command if re.search(r"\.(exe|py)$", word)]
    return programs[-1] if programs else Path(command[0]).name


def safe(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[:120]


def die_with_parent() -> None:
    # A wrapper that is killed outright must not leave its test running on its own.
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep-in", required=True, type=Path)
    parser.add_argument("--name")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command given")

    args.keep_in.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    kept = args.keep_in / f"{stamp}-{safe(args.name or test_name(command))}-{os.getpid()}.log"
    lock = threading.Lock()
    with open(kept, "wb", buffering=0) as log:
        log.write(f"$ {subprocess.list2cmdline(command)}\n".encode())
        try:
            child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=die_with_parent)
        except OSError as error:
            log.write(f"cannot start: {error}\n".encode())
            print(f"cannot start {command[0]}: {error}", file=sys.stderr)
            return 127

        def copy(source: BinaryIO, target: BinaryIO) -> None:
            while True:
                data = source.read1(65536)  # type: ignore[attr-defined]
                if not data:
                    return
                target.write(data)
                target.flush()
                with lock:
                    log.write(data)

        readers = [threading.Thread(target=copy, args=(child.stdout, sys.stdout.buffer),
                                    daemon=True),
                   threading.Thread(target=copy, args=(child.stderr, sys.stderr.buffer),
                                    daemon=True)]
        for reader in readers:
            reader.start()

        def forward(number: int, _frame: object) -> None:
            child.send_signal(number)

        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, forward)
        status = child.wait()
        for reader in readers:
            reader.join(timeout=10)
        with lock:
            log.write(f"\n[exit status {status}]\n".encode())
    if status == 0:
        kept.unlink()
    else:
        print(f"[the whole output is kept in {kept}]", file=sys.stderr)
    return 0 if status == 0 else (status if status > 0 else 128 - status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
