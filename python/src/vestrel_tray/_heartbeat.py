"""The heartbeat: the state file rewritten on a timer while the application runs."""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Optional, Type

from ._state_file import ContractError, StateFile

# The tray counts the application as stopped once the heartbeat is 90 seconds old.
MIN_EVERY = 10
MAX_EVERY = 30


class Heartbeat:
    """Writes the state file now and then every `every` seconds, from a daemon thread, and
    writes it as stopped when the block ends.

        with Heartbeat(state):
            run_the_application()

    A write that fails in the thread does not end the heartbeat: the next one is tried on time.
    The last such exception is kept in `error`, and raised when the block ends (unless the block
    itself raised).
    """

    def __init__(self, state_file: StateFile, every: float = 15) -> None:
        if isinstance(every, bool) or not isinstance(every, (int, float)):
            raise TypeError(f"every must be a number of seconds, not {every!r}")
        if not MIN_EVERY <= every <= MAX_EVERY:
            raise ContractError(f"every={every}: write the heartbeat every {MIN_EVERY} to "
                                f"{MAX_EVERY} seconds, well within the 90 the tray allows")
        self.state_file = state_file
        self.every = every
        self.error: Optional[Exception] = None
        self._period = float(every)
        self._stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> Heartbeat:
        if self._thread is not None:
            raise RuntimeError("this heartbeat runs already")
        self.state_file.write()
        self._stopping.clear()
        self._thread = threading.Thread(target=self._run, name="vestrel-tray heartbeat",
                                        daemon=True)
        self._thread.start()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None:
        thread, self._thread = self._thread, None
        self._stopping.set()
        if thread is not None:
            thread.join()
        self.state_file.write_stopped()
        if exc is None and self.error is not None:
            raise self.error

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _run(self) -> None:
        while not self._stopping.wait(self._period):
            try:
                self.state_file.write()
            except Exception as error:  # kept for the application, raised at the end
                self.error = error
