"""How the package tells the application what the tray would skip, refuse or cut: ContractError
for what it refuses, warnings and the logger "vestrel_tray" for what it keeps but the tray cuts.

The package configures no logging of its own: an application sends the logger's records where
it wants them (its own log file under pythonw.exe, which has no stderr).
"""

from __future__ import annotations

import logging
import os
import sys
import warnings

from . import _rules

logger = logging.getLogger("vestrel_tray")

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


class ContractError(ValueError):
    """An input the tray program would skip, refuse or lose without telling anyone."""


def check_text(what: str, value: object) -> None:
    """A text the tray would read whole: a str without a line break or a NUL."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    problem = _rules.line_break_problem(value)
    if problem is not None:
        raise ContractError(f"{what} {value!r}: {problem}")


def warn_if_longer(what: str, text: str, limit: int, shown: str) -> None:
    length = _rules.utf16_length(text)
    if length > limit:
        warn(f"{what} is {length} UTF-16 code units long; {shown} only the first {limit}")


def warn_if_cut(what: str, value: str) -> None:
    read = _rules.as_read(value)
    if read != value:
        warn(f"{what} is {_rules.utf16_length(value)} UTF-16 code units long; the tray reads "
             f"only the first {_rules.utf16_length(read)}")


def warn(message: str) -> None:
    """Logs a text that the tray cuts, and warns at the application's line that called into the
    package (add_notice, a label's change)."""
    logger.warning("%s", message)
    level = 2
    frame = sys._getframe(1)
    while (frame.f_back is not None
           and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE):
        frame = frame.f_back
        level += 1
    warnings.warn(message, UserWarning, stacklevel=level)
