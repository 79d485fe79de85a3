"""The heartbeat: the state file rewritten on a timer while the application runs."""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Callable, Optional, Type

from ._messages import ContractError, logger
from ._state_file import StateFile

# The tray counts the application as stopped once the heartbeat is 90 seconds old.
MIN_EVERY = 10
MAX_EVERY = 30

ErrorHandler = Callable[[Exception], None]


class Heartbeat:
    """Writes the state file now and then every `every` seconds, from a daemon thread, and
    writes it as stopped when the block ends.

        with Heartbeat(state, on_error=report):
            run_the_application()

    A write that fails in the thread does not end the heartbeat: the next one is tried on time.
    Each failure is logged (logger "vestrel_tray") and passed to on_error, called in the
    heartbeat's thread. `error` holds the last failure until a write of the heartbeat succeeds
    again; the block's end raises it only when no good write followed it (and the block itself
    raised nothing). Within 90 seconds of the last good write, the tray shows the application
    as stopped.
    """

    def __init__(self, state_file: StateFile, every: float = 15, *,
                 on_error: Optional[ErrorHandler] = None) -> None:
        if isinstance(every, bool) or not isinstance(every, (int, float)):
            raise TypeError(f"every must be a number of seconds, not {every!r}")
        if not MIN_EVERY <= every <= MAX_EVERY:
            raise ContractError(f"every={every}: write the heartbeat every {MIN_EVERY} to "
                                f"{MAX_EVERY} seconds, well within the 90 the tray allows")
        if on_error is not None and not callable(on_error):
            raise TypeError(f"on_error must be callable, not {on_error!r}")
        self.state_file = state_file
        self.every = every
        self.on_error = on_error
        self.error: Optional[Exception] = None
        self._period = float(every)
        self._stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> Heartbeat:
        if self._thread is not None:
            raise RuntimeError("this heartbeat runs already")
        self.state_file.write()
        self.error = None
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
        try:
            self.state_file.write_stopped()
        except Exception as error:
            # Logged by the state file. The block's own exception, if any, goes on instead.
            self.error = error
            if exc is None:
                raise
            return
        if exc is None and self.error is not None:
            raise self.error

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def _run(self) -> None:
        while not self._stopping.wait(self._period):
            try:
                self.state_file.write()
            except Exception as error:  # reported, kept, and raised at the end if not mended
                self.error = error
                self._report(error)
                continue
            if self.error is not None:
                logger.info("the heartbeat writes %s again", self.state_file.path)
                self.error = None

    def _report(self, error: Exception) -> None:
        if self.on_error is None:
            return
        try:
            self.on_error(error)
        except Exception:
            logger.exception("the heartbeat's on_error raised")
