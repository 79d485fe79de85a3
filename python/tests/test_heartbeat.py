"""Heartbeat: writes at once and then on its timer, writes "stopped" at the end, and keeps what
went wrong in its thread."""

from __future__ import annotations

import logging
import os
import threading
import time
from pathlib import Path
from typing import Callable, List, Tuple

import pytest

from test_state_file import read_sections
from vestrel_tray import ContractError, Heartbeat, StateFile

DEADLINE = 30.0


class CountingStateFile(StateFile):
    """Counts the writes, and fails those from a given one on."""

    def __init__(self, path: Path, fail_from: int = 0) -> None:
        super().__init__(path)
        self.writes: List[int] = []
        self.fail_from = fail_from

    def write(self) -> None:
        if self.fail_from and len(self.writes) + 1 >= self.fail_from:
            self.writes.append(-1)
            raise OSError(28, "No space left on device")
        super().write()
        self.writes.append(int(read_sections(Path(self.path))["state"]["written_unix"]))


def wait_for(condition: Callable[[], bool], what: str) -> None:
    deadline = time.monotonic() + DEADLINE
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.01)


def fast(heartbeat: Heartbeat) -> Heartbeat:
    # The timer's period in the test: the interval itself is checked by Heartbeat's constructor.
    heartbeat._period = 0.01
    return heartbeat


def test_writes_at_once_then_on_its_timer_then_stopped(tmp_path: Path) -> None:
    state = CountingStateFile(tmp_path / "state.ini")
    state.labels["title"] = "Vestrel"
    heartbeat = fast(Heartbeat(state, every=10))
    with heartbeat:
        assert len(state.writes) == 1 and state.writes[0] > 0, "no write on entering"
        wait_for(lambda: len(state.writes) >= 4, "three writes of the timer")
        assert heartbeat.running
        state.add_notice("while-beating", "info", "Listed")
        wait_for(lambda: "notice1" in read_sections(tmp_path / "state.ini"),
                 "a write with the new notice")
    assert not heartbeat.running
    assert not any(t.name == "vestrel-tray heartbeat" for t in threading.enumerate())
    written = read_sections(tmp_path / "state.ini")
    assert written["state"]["written_unix"] == "0"
    assert written["state"]["label_title"] == "Vestrel"
    assert written["notice1"]["id"] == "while-beating"
    assert heartbeat.error is None


def test_a_failed_write_is_kept_raised_at_the_end_and_does_not_stop_the_beat(
        tmp_path: Path) -> None:
    state = CountingStateFile(tmp_path / "state.ini", fail_from=2)
    reported: List[Exception] = []
    heartbeat = fast(Heartbeat(state, every=30, on_error=reported.append))
    with pytest.raises(OSError, match="No space left"):
        with heartbeat:
            wait_for(lambda: heartbeat.error is not None, "the failure to be kept")
            wait_for(lambda: len(state.writes) >= 4, "more writes after the failure")
    assert read_sections(tmp_path / "state.ini")["state"]["written_unix"] == "0"
    assert len(reported) >= 3 and heartbeat.error is reported[-1]


def test_writes_that_fail_and_then_succeed_are_reported_and_forgiven(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
        caplog: pytest.LogCaptureFixture) -> None:
    """A full disk, then room again: each failure is logged and passed to on_error in the
    heartbeat's thread, the first good write clears it, and the block ends without raising."""
    path = tmp_path / "state.ini"
    disk_full = threading.Event()
    real_replace = os.replace

    def replace(source: str, target: str) -> None:
        if disk_full.is_set():
            raise OSError(28, "No space left on device")
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    caplog.set_level(logging.INFO, logger="vestrel_tray")
    reported: List[Tuple[str, Exception]] = []
    state = StateFile(path)
    heartbeat = fast(Heartbeat(
        state, on_error=lambda error: reported.append((threading.current_thread().name, error))))
    with heartbeat:
        disk_full.set()
        wait_for(lambda: len(reported) >= 2, "two failures to be reported")
        assert heartbeat.error is reported[-1][1]
        disk_full.clear()
        wait_for(lambda: heartbeat.error is None, "a good write to clear the failure")
    assert {thread for thread, _ in reported} == {"vestrel-tray heartbeat"}
    assert all(isinstance(error, OSError) and error.errno == 28 for _, error in reported)
    assert read_sections(path)["state"]["written_unix"] == "0"
    logged = [(record.levelname, record.getMessage()) for record in caplog.records]
    failure = ("ERROR", f"could not write the state file {path}: [Errno 28] No space left on "
               "device")
    assert logged.count(failure) == len(reported)
    assert logged[-1] == ("INFO", f"the heartbeat writes {path} again")


def test_an_on_error_that_raises_is_logged_and_the_beat_goes_on(
        tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    state = CountingStateFile(tmp_path / "state.ini", fail_from=2)
    calls: List[Exception] = []

    def on_error(error: Exception) -> None:
        calls.append(error)
        raise RuntimeError("the application's handler")

    heartbeat = fast(Heartbeat(state, on_error=on_error))
    with pytest.raises(OSError):
        with heartbeat:
            wait_for(lambda: len(calls) >= 2, "the handler called twice")
    raised = [r for r in caplog.records if r.getMessage() == "the heartbeat's on_error raised"]
    assert raised and raised[0].exc_info is not None
    assert isinstance(raised[0].exc_info[1], RuntimeError)


def test_the_blocks_own_exception_wins(tmp_path: Path) -> None:
    state = CountingStateFile(tmp_path / "state.ini", fail_from=2)
    heartbeat = fast(Heartbeat(state))
    with pytest.raises(KeyError):
        with heartbeat:
            wait_for(lambda: heartbeat.error is not None, "the failure to be kept")
            raise KeyError("the application's own")
    assert isinstance(heartbeat.error, OSError)


def test_a_failed_stopped_write_is_raised_unless_the_block_raised(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    state = StateFile(tmp_path / "state.ini")

    def full(self: StateFile) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(StateFile, "write_stopped", full)
    with pytest.raises(OSError, match="No space left"):
        with fast(Heartbeat(state)):
            pass
    heartbeat = fast(Heartbeat(state))
    with pytest.raises(KeyError):
        with heartbeat:
            raise KeyError("the application's own")
    assert isinstance(heartbeat.error, OSError)


@pytest.mark.parametrize("every, allowed", [
    (10, True), (15, True), (22.5, True), (30, True), (9.9, False), (31, False), (0, False)])
def test_the_interval_stays_well_within_the_trays_90_seconds(tmp_path: Path, every: float,
                                                             allowed: bool) -> None:
    state = StateFile(tmp_path / "state.ini")
    if allowed:
        assert Heartbeat(state, every=every).every == every
    else:
        with pytest.raises(ContractError):
            Heartbeat(state, every=every)
