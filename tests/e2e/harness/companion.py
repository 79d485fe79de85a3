"""The companion's side of the state file: written by the package vestrel_tray (python/src, taken
from the source tree) as the companion writes it, and kept fresh by the package's Heartbeat for
as long as a test runs.

The program counts the companion as stopped once written_unix is 90 s old, so a test that wrote
the file once and then ran for longer (a slow machine, a long menu session) would see the
program change its mind half way. The pid in the file must be that of a Windows process (Wine
knows no Linux pid): the bench's holder, traytool hold.

Input that the package refuses to write (an old heartbeat, no pid, targets the program refuses,
the bad-input corpus) comes from the raw codec (profiles.py) instead, and the same heartbeat
keeps it fresh."""

from __future__ import annotations

import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Mapping, Sequence

from .profiles import replace_file

PYTHON_SOURCE = Path(__file__).resolve().parents[3] / "python" / "src"
if str(PYTHON_SOURCE) not in sys.path:
    sys.path.insert(0, str(PYTHON_SOURCE))

from vestrel_tray import Heartbeat, StateFile  # noqa: E402

__all__ = ["Companion", "CompanionState", "HEARTBEAT_EVERY", "Heartbeat", "PYTHON_SOURCE",
           "Render", "StateFile"]

# The package's shortest period: well inside the 90 s after which the program counts the
# companion as stopped.
HEARTBEAT_EVERY = 10

# Bytes of a state file for a heartbeat of written_unix (0: the companion has ended).
Render = Callable[[int], bytes]


@dataclass(frozen=True)
class Companion:
    """What a running companion says in its state file."""
    pid: int
    labels: Mapping[str, str] = field(default_factory=dict)
    # Each with id, kind and title, and body and target where it has them; listed in this order.
    notices: Sequence[Mapping[str, str]] = ()
    status: str = "running"
    role: str | None = None
    rtl: bool = False

    def state_file(self, path: Path) -> StateFile:
        """The package's state file saying this, the notices in [notice1] on."""
        state = StateFile(path)
        state.pid = self.pid
        state.labels.update(**self.labels)
        state.status = self.status
        state.role = self.role
        state.rtl = self.rtl
        for notice in self.notices:
            state.add_notice(notice["id"], notice["kind"], notice["title"],
                             body=notice.get("body", ""), target=notice.get("target", ""))
        return state


class CompanionState(StateFile):
    """The state file of a running companion, kept fresh by the package's Heartbeat from start()
    to stop(). Each write, the heartbeat's too, has the package write the file afresh from what
    the companion says last; say() sets that and writes it under one lock, so a heartbeat never
    writes half of a change, and the file holds the change when say() returns. With say_bad(),
    the raw codec's bytes take the package's place until the next say()."""

    def __init__(self, path: Path, companion: Companion, bad: Render | None = None):
        super().__init__(path)
        companion.state_file(path)  # the package checks it before anything is written
        self.companion = companion
        self._bad = bad
        self._lock = threading.RLock()
        self._heartbeat = Heartbeat(self, every=HEARTBEAT_EVERY)

    def write(self) -> None:
        with self._lock:
            if self._bad is not None:
                replace_file(Path(self.path), self._bad(int(time.time())))
            else:
                self.companion.state_file(Path(self.path)).write()

    def write_stopped(self) -> None:
        with self._lock:
            if self._bad is not None:
                replace_file(Path(self.path), self._bad(0))
            else:
                self.companion.state_file(Path(self.path)).write_stopped()

    def say(self, companion: Companion) -> None:
        """What the companion says from now on, written before this returns."""
        companion.state_file(Path(self.path))  # the package checks it before anything is written
        with self._lock:
            self.companion, self._bad = companion, None
            self.write()

    def say_bad(self, render: Render) -> None:
        """From now on the file holds render(heartbeat), written before this returns."""
        with self._lock:
            self._bad = render
            self.write()

    def start(self) -> CompanionState:
        """Writes the file now, then every HEARTBEAT_EVERY seconds."""
        self._heartbeat.__enter__()
        return self

    def stop(self) -> None:
        """Ends the heartbeat with the file of an ended companion; raises the error of a write
        that failed in the heartbeat's thread."""
        self._heartbeat.__exit__(None, None, None)
