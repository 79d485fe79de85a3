"""Waiting for a condition with a deadline: the bench's only way of waiting for the program."""

from __future__ import annotations

import time
from typing import Any, Callable

DEFAULT_TIMEOUT = 15.0


def wait_until(predicate: Callable[[], Any], description: str,
               timeout: float = DEFAULT_TIMEOUT, interval: float = 0.05) -> Any:
    """Polls predicate until it gives a true value, which is returned; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"gave up after {timeout:.0f} s waiting for {description}")
        time.sleep(interval)
