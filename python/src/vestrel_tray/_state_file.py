"""The state file, written the way the tray program reads it."""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
import threading
import time
import warnings
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from . import _rules
from ._build_config import WEB_HOST

StrPath = Union[str, "os.PathLike[str]"]

_PACKAGE = os.path.dirname(os.path.abspath(__file__))

# Windows refuses to replace a file while a reader has it open; the tray holds it for a moment.
_REPLACE_ATTEMPTS = 40
_REPLACE_PAUSE = 0.05


class ContractError(ValueError):
    """An input the tray program would skip, refuse or lose without telling anyone."""


@dataclass(frozen=True)
class Notice:
    """A listed notice and the [noticeN] section that holds it while it is listed."""

    id: str
    kind: str
    title: str
    body: str
    target: str
    section: int


class StateFile:
    """The state file as the companion application sees it.

    Set the labels and the status, list notices, and call write() every 10 to 30 seconds while
    the application runs (Heartbeat does that), and write_stopped() when it ends. Every input the
    tray would skip or refuse raises ContractError here; texts longer than the tray shows are
    written whole and reported by warnings.warn.
    """

    def __init__(self, path: StrPath, *, web_host: Optional[str] = None) -> None:
        self.path = os.fspath(path)
        self.web_host = WEB_HOST if web_host is None else web_host
        if not self.web_host:
            raise ContractError("the web host is empty")
        # Keyed by the label's name without "label_": title, stopped, running, update_waiting,
        # open, stop, mute.
        self.labels: Dict[str, str] = {}
        self._status = "running"
        self._role: Optional[str] = None
        self._rtl = False
        self._pid = os.getpid()
        self._sections: Dict[int, Notice] = {}
        # Held while the notices change and while the file is written: a heartbeat thread
        # writes what the application's own thread sets.
        self._lock = threading.RLock()

    # -- [state] --------------------------------------------------------------------------------

    @property
    def status(self) -> str:
        """Either "running" or, while an update waits, "update_waiting"."""
        return self._status

    @status.setter
    def status(self, value: str) -> None:
        if value not in ("running", "update_waiting"):
            raise ContractError(f"status {value!r}: write 'running' or 'update_waiting'")
        self._status = value

    @property
    def role(self) -> Optional[str]:
        """Either "server", where the tray's menu offers the stop command, or None."""
        return self._role

    @role.setter
    def role(self, value: Optional[str]) -> None:
        if value not in ("server", None):
            raise ContractError(f"role {value!r}: the tray knows only 'server' (or None)")
        self._role = value

    @property
    def rtl(self) -> bool:
        """True for a menu laid out right to left."""
        return self._rtl

    @rtl.setter
    def rtl(self, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError(f"rtl must be True or False, not {value!r}")
        self._rtl = value

    @property
    def pid(self) -> int:
        """The id of the long-lived process that keeps the heartbeat; os.getpid() by default."""
        return self._pid

    @pid.setter
    def pid(self, value: int) -> None:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"pid must be an int, not {value!r}")
        if not 0 < value <= 0xFFFFFFFF:
            raise ContractError(f"pid {value}: the tray reads a process id of 1 to 2**32 - 1 "
                                "and counts any other as stopped")
        self._pid = value

    # -- notices --------------------------------------------------------------------------------

    @property
    def notices(self) -> Tuple[Notice, ...]:
        """The listed notices, in the order of their sections."""
        with self._lock:
            return tuple(self._sections[section] for section in sorted(self._sections))

    def add_notice(self, id: str, kind: str, title: str, body: str = "",
                   target: str = "") -> Notice:
        """Lists a notice in the lowest free [noticeN] section, where it stays while listed.

        The tray shows each id once, for good: a new or changed message needs a new id.
        """
        for name, value in (("id", id), ("kind", kind), ("title", title), ("body", body),
                            ("target", target)):
            _check_text(f"notice {name}", value)
        read_id = _rules.as_read(id)
        problem = _rules.notice_id_problem(read_id)
        if problem is not None:
            raise ContractError(f"notice id {id!r}: the tray skips it, as {problem}")
        problem = _rules.kind_problem(kind)
        if problem is not None:
            raise ContractError(f"notice {id!r}: kind {kind!r}: {problem}")
        if not title:
            raise ContractError(f"notice {id!r}: the tray skips a notice without a title")
        problem = _rules.target_problem(target, self.web_host)
        if problem is not None:
            raise ContractError(f"notice {id!r}: a click would do nothing with target "
                                f"{target!r}: {problem}")
        with self._lock:
            key = _rules.id_key(read_id)
            for listed in self._sections.values():
                if _rules.id_key(_rules.as_read(listed.id)) == key:
                    raise ContractError(
                        f"notice id {id!r}: {listed.id!r} is listed already; the seen file "
                        "does not tell ids apart by letter case")
            free = next((section for section in range(1, _rules.MAX_NOTICES + 1)
                         if section not in self._sections), None)
            if free is None:
                raise ContractError(f"notice {id!r}: {_rules.MAX_NOTICES} notices are listed, "
                                    "the most the tray reads; remove one first")
            notice = Notice(id=id, kind=kind, title=title, body=body, target=target,
                            section=free)
            self._sections[free] = notice

        _warn_if_cut(f"notice id {id[:40]!r}...", id)
        _warn_if_longer(f"notice {id!r}: title", title, _rules.BALLOON_TITLE_LENGTH,
                        "the balloon shows")
        _warn_if_longer(f"notice {id!r}: body", body, _rules.BALLOON_BODY_LENGTH,
                        "the balloon shows")
        return notice

    def remove_notice(self, id: str) -> None:
        """Takes the notice with exactly this id off the list and frees its section."""
        with self._lock:
            for section, notice in self._sections.items():
                if notice.id == id:
                    del self._sections[section]
                    return
        raise KeyError(f"no notice with id {id!r} is listed")

    # -- writing --------------------------------------------------------------------------------

    def write(self) -> None:
        """Writes the whole file with the heartbeat of now and replaces the old one at once."""
        self._write(int(time.time()))

    def write_stopped(self) -> None:
        """Writes the file of an application that has ended: no heartbeat, labels kept."""
        self._write(0)

    def _write(self, written_unix: int) -> None:
        with self._lock:
            data = encode_profile(self._sections_to_write(written_unix))
            _replace_file(self.path, data)

    def _sections_to_write(self, written_unix: int) -> List[Tuple[str, List[Tuple[str, str]]]]:
        labels = dict(self.labels)
        _check_labels(labels)
        state = [("written_unix", str(written_unix)), ("pid", str(self._pid)),
                 ("status", self._status)]
        if self._role is not None:
            state.append(("role", self._role))
        state.append(("rtl", "1" if self._rtl else "0"))
        state.extend((f"label_{name}", labels[name]) for name in _rules.LABEL_NAMES
                     if name in labels)
        state.append(("notices", str(max(self._sections, default=0))))
        sections = [("state", state)]
        for section in sorted(self._sections):
            notice = self._sections[section]
            sections.append((f"notice{section}", [
                ("id", notice.id), ("kind", notice.kind), ("target", notice.target),
                ("title", notice.title), ("body", notice.body)]))
        return sections


def encode_profile(sections: List[Tuple[str, List[Tuple[str, str]]]]) -> bytes:
    """UTF-16LE with a byte-order mark and CRLF line ends, the one encoding that both Windows'
    profile reader and Wine's read as Unicode."""
    lines: List[str] = []
    for name, keys in sections:
        lines.append(f"[{name}]")
        for key, value in keys:
            lines.append(f'{key}="{value}"' if _rules.needs_quotes(value) else f"{key}={value}")
    text = "".join(line + "\r\n" for line in lines)
    return b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")


def _replace_file(path: str, data: bytes) -> None:
    """Writes a temporary file beside path (making its folder if need be) and moves it over path
    in one step, so that a reader sees the old file or the new one, never a part of either."""
    folder, name = os.path.split(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        for attempt in range(_REPLACE_ATTEMPTS):
            try:
                os.replace(temporary, path)
                return
            except PermissionError:
                if attempt + 1 == _REPLACE_ATTEMPTS:
                    raise
                time.sleep(_REPLACE_PAUSE)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _check_text(what: str, value: str) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    problem = _rules.line_break_problem(value)
    if problem is not None:
        raise ContractError(f"{what} {value!r}: {problem}")


def _check_labels(labels: Dict[str, str]) -> None:
    for name, text in labels.items():
        if name not in _rules.LABEL_NAMES:
            raise ContractError(f"label {name!r}: the tray reads only the labels "
                                f"{', '.join(_rules.LABEL_NAMES)}")
        _check_text(f"label {name!r}", text)
    title = labels.get("title", "")
    for status in _rules.STATUS_LABELS:
        status_label = labels.get(status, "")
        tooltip = "\n".join(text for text in (title, status_label) if text)
        _warn_if_longer(f"the tooltip of status {status!r} (title, line feed, label)", tooltip,
                        _rules.TOOLTIP_LENGTH, "the tooltip shows")
    for name in _rules.MENU_LABELS:
        _warn_if_cut(f"label {name!r}", labels.get(name, ""))


def _warn_if_longer(what: str, text: str, limit: int, shown: str) -> None:
    length = _rules.utf16_length(text)
    if length > limit:
        _warn(f"{what} is {length} UTF-16 code units long; {shown} only the first {limit}")


def _warn_if_cut(what: str, value: str) -> None:
    read = _rules.as_read(value)
    if read != value:
        _warn(f"{what} is {_rules.utf16_length(value)} UTF-16 code units long; the tray reads "
              f"only the first {_rules.utf16_length(read)}")


def _warn(message: str) -> None:
    """Warns at the application's line that called into the package (add_notice, write)."""
    level = 2
    frame = sys._getframe(1)
    while (frame.f_back is not None
           and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == _PACKAGE):
        frame = frame.f_back
        level += 1
    warnings.warn(message, UserWarning, stacklevel=level)
