"""The notification area's side: shell-standin.exe (tests/tools) stands in front of Wine's and
logs every request the program makes of it, one JSON record a line; this reads that log.

A balloon is a NIM_MODIFY with NIF_INFO that the notification area accepted and that carries
text: the program never asks for one without (an empty body is sent as one blank), while a
request with NIF_INFO and empty text is how a balloon is taken down. Every reader of the log
decides with is_balloon."""

from __future__ import annotations

import json
import threading
from pathlib import Path
from typing import Any, Callable, Iterable, Mapping

from .programs import Program
from .waiting import DEFAULT_TIMEOUT, wait_until
from .win32 import NIF_INFO, NIF_TIP, NIIF_INFO, NIIF_WARNING

Record = dict[str, Any]


def is_balloon(record: Mapping[str, Any]) -> bool:
    return (record["op"] == "modify" and bool(record["uFlags"] & NIF_INFO)
            and record["result"] != 0 and record["szInfo"] != "")


def is_balloon_taken_down(record: Mapping[str, Any]) -> bool:
    return record["op"] == "modify" and bool(record["uFlags"] & NIF_INFO) and \
        record["szInfo"] == ""


def is_tip_refresh(record: Mapping[str, Any]) -> bool:
    """A refresh of the icon and its tooltip: one per timer tick (and the add at start-up). A
    balloon request carries the tooltip too, but is no refresh."""
    return (record["op"] in ("add", "modify") and bool(record["uFlags"] & NIF_TIP)
            and not record["uFlags"] & NIF_INFO)


def balloons(records: Iterable[Record]) -> list[Record]:
    return [record for record in records if is_balloon(record)]


def balloon_texts(records: Iterable[Record]) -> list[tuple[str, str, int]]:
    """(title, text, icon flags) of each balloon."""
    return [(r["szInfoTitle"], r["szInfo"], r["dwInfoFlags"]) for r in balloons(records)]


def balloon_icon(record: Mapping[str, Any]) -> str:
    """"info" or "warning"; any other flags as they are, so that no check mistakes them."""
    flags = record["dwInfoFlags"]
    return {NIIF_INFO: "info", NIIF_WARNING: "warning"}.get(flags, f"flags {flags:#x}")


def ops(records: Iterable[Mapping[str, Any]]) -> list[str]:
    return [record["op"] for record in records]


def read_records(log: Path) -> list[Record]:
    if not log.exists():
        return []
    text = log.read_text(encoding="utf-8")
    # A line still being written has no line end yet.
    return [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith("\n")]


class Standin(Program):
    """shell-standin.exe: every request to the notification area, as JSON records."""

    def __init__(self, program: Program, log: Path):
        super().__init__(program.name, program.popen, program.stdout_path, program.stderr_path)
        self.log = log

    def records(self) -> list[Record]:
        return read_records(self.log)

    def count(self) -> int:
        return len(self.records())

    def since(self, mark: int) -> list[Record]:
        return self.records()[mark:]

    def wait_for(self, predicate: Callable[[Record], bool], description: str,
                 after: int = 0, timeout: float = DEFAULT_TIMEOUT) -> Record:
        """The first record after the first `after` ones for which predicate holds."""
        def find() -> Record | None:
            return next((r for r in self.since(after) if predicate(r)), None)
        try:
            return wait_until(find, description, timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}; requests so far: {self.summary()}") from None

    def summary(self) -> str:
        return "; ".join(
            f"{r['op']}(result={r['result']}, flags={r['uFlags']:#x}, tip={r['szTip']!r}, "
            f"title={r['szInfoTitle']!r})" for r in self.records()) or "none"


class RequestLog:
    """The stand-in's log read as it grows, for a test that makes tens of thousands of requests:
    counts the tooltip refreshes (one per tick handled) and keeps the balloons, each with the
    refresh count before it, and the rest."""

    def __init__(self, path: Path):
        self.path = path
        self._offset = 0
        self._pending = b""
        self._lock = threading.Lock()
        self.refreshes = 0
        self.balloons: list[Record] = []
        self.taken_down = 0
        self.other: list[Record] = []

    def poll(self) -> int:
        """Reads what was appended since the last call; gives the refresh count."""
        with self._lock:
            try:
                with open(self.path, "rb") as log:
                    log.seek(self._offset)
                    data = log.read()
            except FileNotFoundError:
                return self.refreshes
            self._offset += len(data)
            lines = (self._pending + data).split(b"\n")
            self._pending = lines.pop()  # a line still being written has no end yet
            for line in lines:
                record = json.loads(line)
                if is_balloon(record):
                    record["refreshes_before"] = self.refreshes
                    self.balloons.append(record)
                elif is_balloon_taken_down(record):
                    self.taken_down += 1
                elif record["op"] == "modify" and is_tip_refresh(record):
                    self.refreshes += 1
                else:
                    self.other.append(record)
            return self.refreshes
