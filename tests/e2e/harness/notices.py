"""Driving the real program's balloons from outside, for the bad-input corpus and the refused
targets: a pass of ticks and balloon events with what the notification area was asked to show,
the shell's handlers for web addresses pointed at a recording program, and reading a profile file
in whatever encoding it ended up in. Builds on harness.py."""

from __future__ import annotations

import os
import subprocess
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Mapping

from harness import (NIF_INFO, NIF_TIP, NIIF_WARNING, NIN_BALLOONUSERCLICK, Standin, WineSession,
                     wait_until, windows_path)

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


def balloon_records(records: Iterable[Mapping[str, Any]]) -> list[Mapping[str, Any]]:
    """Balloons the notification area took: a modify carrying NIF_INFO that it accepted."""
    return [r for r in records
            if r["op"] == "modify" and r["uFlags"] & NIF_INFO and r["result"] != 0]


def drive_pass(session: WineSession, standin: Standin, mark: int) -> Pass:
    """One timer tick, then a click on each balloon on screen until none follows: every notice
    that the tick queued comes out. Records from mark on count, so nothing the program's own
    timer did since the last pass goes unseen.

    The messages are sent, so each has been handled in full when the next one goes. A message
    sent while the program is busy on its own (start-up, its own timer) is handled inside its
    call to the shell, in the middle of that work; wait_for_message_loop first."""
    session.traytool("tick", "--send")
    closed = 0
    while len(balloon_records(standin.since(mark))) > closed:
        if closed >= MAX_BALLOONS_PER_PASS:
            raise AssertionError(f"balloons kept coming: {standin.summary()[-2000:]}")
        session.traytool("event", hex(NIN_BALLOONUSERCLICK), "--send")
        closed += 1
    records = standin.since(mark)
    return Pass(
        tips=[r["szTip"] for r in records
              if r["op"] in ("add", "modify") and r["uFlags"] & NIF_TIP],
        balloons=[Balloon(r["szInfoTitle"], r["szInfo"],
                          "warning" if r["dwInfoFlags"] == NIIF_WARNING else "info")
                  for r in balloon_records(records)])


def wait_for_message_loop(session: WineSession, standin: Standin, mark: int) -> None:
    """Returns once the program, started after mark, has finished its start-up and waits in its
    message loop: a posted tick is handled only from there, and the start-up itself never
    modifies the icon's tooltip (it adds the icon)."""
    session.traytool("tick")
    standin.wait_for(lambda r: r["op"] == "modify" and r["uFlags"] & NIF_TIP,
                     "the first tick of the message loop", after=mark, timeout=60)


def register_url_handler(session: WineSession, scheme: str, exe: Path) -> None:
    """Makes exe the shell's handler for scheme: addresses (Wine 8 reads only HKLM here)."""
    key = f"HKLM\\Software\\Classes\\{scheme}\\shell\\open\\command"
    command = f'"{windows_path(exe)}" "%1"'
    subprocess.run(["wine", "reg", "add", key, "/ve", "/d", command, "/f"], env=session.env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)


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


# ---------------------------------------------------------------------------------------------
# Profile files in any encoding a test may leave them in


def decode_any(data: bytes) -> str:
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", "replace")
    if data.startswith(b"\xfe\xff"):
        return data[2:].decode("utf-16-be", "replace")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8", "replace")
    return data.decode("latin-1")


def profile_keys(data: bytes, section: str) -> dict[str, str]:
    """Keys and values of every [section] in data, keys in lower case and with blanks trimmed, as
    the profile reader matches them; the first occurrence of a key wins."""
    keys: dict[str, str] = {}
    inside = False
    for raw in decode_any(data).replace("\r\n", "\n").replace("\r", "\n").split("\n"):
        line = raw.strip()
        if line.startswith("[") and "]" in line:
            inside = line[1:line.index("]")].strip().lower() == section.lower()
        elif inside and "=" in line:
            key, value = line.split("=", 1)
            keys.setdefault(key.strip().lower(), value.strip())
    return keys


def shown_marks(data: bytes) -> set[str]:
    """Ids that [shown] marks as shown ("1"), in lower case."""
    return {key for key, value in profile_keys(data, "shown").items() if value == "1"}
