"""Replacing a file in one step: the state file, and the program's copy in its home."""

from __future__ import annotations

import contextlib
import os
import tempfile
import time
from typing import List

from ._messages import logger

# Windows refuses to replace a file while a reader has it open; the tray holds the state file
# for a moment.
REPLACE_ATTEMPTS = 40
REPLACE_PAUSE = 0.05


def replace_file(path: str, data: bytes, *, attempts: int = REPLACE_ATTEMPTS,
                 pause: float = REPLACE_PAUSE) -> None:
    """Writes a temporary file beside path (making its folder if need be) and moves it over path
    in one step, so that a reader sees the old file or the new one, never a part of either.

    Windows refuses the move with PermissionError while another program holds path open (or,
    for a program, while its image is still mapped after it ended): the move is tried again,
    up to attempts times, pause seconds apart. A failure leaves no temporary file behind."""
    folder, name = os.path.split(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        for attempt in range(1, attempts + 1):
            try:
                os.replace(temporary, path)
            except PermissionError as error:
                if attempt == attempts:
                    raise
                logger.debug("replacing %s refused (%s), attempt %d of %d", path, error,
                             attempt, attempts)
                time.sleep(pause)
                continue
            if attempt > 1:
                logger.info("replaced %s at attempt %d of %d: a reader held it before", path,
                            attempt, attempts)
            return
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def temporaries_of(path: str) -> List[str]:
    """The temporary files that replace_file may have left beside path (a process that was
    killed between writing and moving)."""
    folder, name = os.path.split(os.path.abspath(path))
    try:
        entries = os.listdir(folder)
    except FileNotFoundError:
        return []
    return [os.path.join(folder, entry) for entry in sorted(entries)
            if entry.startswith(f".{name}.") and entry.endswith(".tmp")]
