"""Driving the program's balloons from outside, for the bad-input corpus and the refused targets:
a pass of ticks and balloon events with what the notification area was asked to show, the
processes that a click may leave behind, and what record-args wrote of its starts."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

from .shell import Standin, balloon_icon, balloons, is_tip_refresh
from .waiting import wait_until
from .win32 import NIN_BALLOONUSERCLICK

if TYPE_CHECKING:
    from .session import WineSession

# More balloons than one pass can queue (50) plus what the program's own timer may add.
MAX_BALLOONS_PER_PASS = 120


@dataclass(frozen=True)
class Balloon:
    title: str
    text: str
    icon: str  # "info" or "warning"


@dataclass
class Pass:
    """What the program asked of the notification area during one tick and its balloon events."""
    tips: list[str] = field(default_factory=list)
    balloons: list[Balloon] = field(default_factory=list)

    @property
    def titles(self) -> list[str]:
        return [balloon.title for balloon in self.balloons]


def drive_pass(session: WineSession, standin: Standin, mark: int) -> Pass:
    """One timer tick, then a click on each balloon on screen until none follows: every notice
    that the tick queued comes out. Records from mark on count, so nothing the program's own
    timer did since the last pass goes unseen.

    The messages are sent, so each has been handled in full when the next one goes. A message
    sent while the program is busy on its own (start-up, its own timer) is handled inside its
    call to the shell, in the middle of that work; TrayTestCase.wait_for_message_loop first."""
    session.traytool.tick(send=True)
    closed = 0
    while len(balloons(standin.since(mark))) > closed:
        if closed >= MAX_BALLOONS_PER_PASS:
            raise AssertionError(f"balloons kept coming: {standin.summary()[-2000:]}")
        session.traytool.event(NIN_BALLOONUSERCLICK, send=True)
        closed += 1
    records = standin.since(mark)
    return Pass(tips=[r["szTip"] for r in records if is_tip_refresh(r)],
                balloons=[Balloon(r["szInfoTitle"], r["szInfo"], balloon_icon(r))
                          for r in balloons(records)])


def live_processes_mentioning(marker: str) -> list[str]:
    """Command lines of the live Linux processes (Wine runs each Windows process as one) that
    mention marker."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            raw = (entry / "cmdline").read_bytes()
            status = (entry / "status").read_text()
        except OSError:
            continue
        if "\nState:\tZ" in status:  # ended, not yet reaped
            continue
        text = raw.replace(b"\0", b" ").decode("utf-8", "replace")
        if marker in text:
            found.append(text)
    return found


def wait_for_no_process_mentioning(marker: str, timeout: float = 30.0) -> None:
    wait_until(lambda: not live_processes_mentioning(marker),
               f"every process under {marker} to end", timeout, interval=0.1)


def record_lines(path: Path) -> list[str]:
    """The command lines that record-args.exe wrote to path, one per start."""
    if not path.exists():
        return []
    return path.read_text(encoding="utf-8").splitlines()
