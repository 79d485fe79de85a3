"""The companion's side of the state file: a state file as a running companion writes it, and a
heartbeat that keeps it fresh for as long as a test runs.

The program counts the companion as stopped once written_unix is 90 s old, so a test that writes
the file once and then runs for longer (a slow machine, a long menu session) would see the
program change its mind half way. A CompanionState rewrites the file every few seconds with
written_unix = now, as the companion does, until the test ends."""

from __future__ import annotations

import threading
import time
from pathlib import Path
from typing import Any, Callable, Mapping, Sequence

from .profiles import encode_profile, replace_file

# Well inside the 90 s after which the program counts the companion as stopped.
HEARTBEAT_PERIOD = 5.0


def state_sections(pid: int | None, *, status: str = "running",
                   labels: Mapping[str, str] | None = None,
                   notices: Sequence[Mapping[str, str]] = (),
                   written_unix: int | None = None,
                   extra: Mapping[str, Any] | None = None) -> dict[str, dict[str, Any]]:
    """A state file as the companion writes it: heartbeat now (unless given), the pid, labels,
    notices."""
    state: dict[str, Any] = {
        "written_unix": int(time.time()) if written_unix is None else written_unix,
        "pid": 0 if pid is None else pid,
        "status": status,
    }
    for name, text in (labels or {}).items():
        state[f"label_{name}"] = text
    state.update(extra or {})
    state["notices"] = len(notices)
    sections: dict[str, dict[str, Any]] = {"state": state}
    for number, notice in enumerate(notices, start=1):
        sections[f"notice{number}"] = dict(notice)
    return sections


class Heartbeat:
    """Replaces a file with render() every period seconds, on a thread of its own, until
    stopped. Each replacement is one step (the companion's way), so the program never reads half
    a file."""

    def __init__(self, path: Path, render: Callable[[], bytes],
                 period: float = HEARTBEAT_PERIOD):
        self.path = path
        self.render = render
        self.period = period
        self.error: BaseException | None = None
        self._lock = threading.Lock()
        self._halt = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"heartbeat {path.name}",
                                        daemon=True)

    def write(self, change: Callable[[], None] | None = None) -> None:
        """Writes the file now, after change() if given: both under the lock that the heartbeat
        takes, so that it never writes half of a change."""
        with self._lock:
            if change is not None:
                change()
            replace_file(self.path, self.render())

    def start(self) -> "Heartbeat":
        self.write()
        self._thread.start()
        return self

    def stop(self) -> None:
        self._halt.set()
        if self._thread.is_alive():
            self._thread.join(timeout=10)
        if self.error is not None:
            raise AssertionError(f"the heartbeat of {self.path} failed: {self.error!r}")

    def _run(self) -> None:
        while not self._halt.wait(self.period):
            try:
                self.write()
            except OSError as error:  # reported by stop(); a thread cannot fail a test
                self.error = error
                return


class CompanionState:
    """The state file of a companion, kept fresh by a heartbeat. update() changes what it says
    (and writes it at once); a written_unix given there is kept as it is, for a test of an old
    heartbeat, until another update gives None again."""

    def __init__(self, path: Path, pid: int | None, *, labels: Mapping[str, str] | None = None,
                 notices: Sequence[Mapping[str, str]] = (), status: str = "running",
                 written_unix: int | None = None, extra: Mapping[str, Any] | None = None,
                 period: float = HEARTBEAT_PERIOD):
        self.path = path
        self.fields: dict[str, Any] = dict(pid=pid, labels=dict(labels or {}),
                                           notices=list(notices), status=status,
                                           written_unix=written_unix, extra=dict(extra or {}))
        self.heartbeat = Heartbeat(path, self.render, period)

    def render(self) -> bytes:
        fields = self.fields
        return encode_profile(state_sections(
            fields["pid"], status=fields["status"], labels=fields["labels"],
            notices=fields["notices"], written_unix=fields["written_unix"],
            extra=fields["extra"]))

    def start(self) -> "CompanionState":
        self.heartbeat.start()
        return self

    def update(self, **changes: Any) -> None:
        unknown = set(changes) - set(self.fields)
        if unknown:
            raise TypeError(f"a state file has no {', '.join(sorted(unknown))}")
        self.heartbeat.write(lambda: self.fields.update(changes))

    def stop(self) -> None:
        self.heartbeat.stop()
