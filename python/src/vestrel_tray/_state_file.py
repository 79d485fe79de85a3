"""The state file, written the way the tray program reads it."""

from __future__ import annotations

import os
import threading
import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from . import _rules
from ._build_config import WEB_HOST
from ._files import replace_file
from ._labels import Labels
from ._messages import ContractError, check_text, logger, warn_if_cut, warn_if_longer
from ._rules import Kind, Role, Status

StrPath = Union[str, "os.PathLike[str]"]

__all__ = ["ContractError", "Notice", "StateFile", "StrPath", "encode_profile"]


@dataclass(frozen=True)
class Notice:
    """A listed notice and the [noticeN] section that holds it while it is listed."""

    id: str
    kind: Kind
    title: str
    body: str
    target: str
    section: int


class StateFile:
    """The state file as the companion application sees it.

    Set the labels and the status, list notices, and call write() every 10 to 30 seconds while
    the application runs (Heartbeat does that), and write_stopped() when it ends. Every input the
    tray would skip or refuse raises ContractError when it is set; texts longer than the tray
    shows are written whole and reported by warnings.warn and the logger "vestrel_tray".

    web_host: the host whose addresses a notice's target may name, for the package's checks; it
    does not change the program's, which its build fixed (WEB_HOST is that build's).
    """

    def __init__(self, path: StrPath, *, web_host: Optional[str] = None) -> None:
        self.path = os.fspath(path)
        self.web_host = WEB_HOST if web_host is None else web_host
        problem = _rules.web_host_problem(self.web_host)
        if problem is not None:
            raise ContractError(f"web host {self.web_host!r}: {problem}")
        # Held while the labels or the notices change and while the file is written: a
        # heartbeat thread writes what the application's own thread sets.
        self._lock = threading.RLock()
        self._labels = Labels(self._lock)
        self._status: Status = "running"
        self._role: Optional[Role] = None
        self._rtl = False
        self._pid = os.getpid()
        self._sections: Dict[int, Notice] = {}

    @property
    def labels(self) -> Labels:
        """The texts of the tooltip and the menu (see Labels); checked as they are set."""
        return self._labels

    # -- [state] --------------------------------------------------------------------------------

    @property
    def status(self) -> Status:
        """Either "running" or, while an update waits, "update_waiting"."""
        return self._status

    @status.setter
    def status(self, value: Status) -> None:
        if value not in _rules.STATUSES:
            raise ContractError(f"status {value!r}: write 'running' or 'update_waiting'")
        self._status = value

    @property
    def role(self) -> Optional[Role]:
        """Either "server", where the tray's menu offers the stop command, or None."""
        return self._role

    @role.setter
    def role(self, value: Optional[Role]) -> None:
        if value is not None and value != "server":
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
        """The listed notices, in the order of their sections: a tuple of frozen records, taken
        at the call, that no change reaches (add_notice, remove_notice and clear_notices do)."""
        with self._lock:
            return tuple(self._sections[section] for section in sorted(self._sections))

    def add_notice(self, id: str, kind: Kind, title: str, body: str = "",
                   target: str = "") -> Notice:
        """Lists a notice in the lowest free [noticeN] section, where it stays while listed.

        The tray shows each id once, for good: a new or changed message needs a new id.
        """
        for name, value in (("id", id), ("kind", kind), ("title", title), ("body", body),
                            ("target", target)):
            check_text(f"notice {name}", value)
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
            listed = self._listed(id)
            if listed is not None:
                raise ContractError(_duplicate_message(id, listed))
            free = next((section for section in range(1, _rules.MAX_NOTICES + 1)
                         if section not in self._sections), None)
            if free is None:
                raise ContractError(f"notice {id!r}: {_rules.MAX_NOTICES} notices are listed, "
                                    "the most the tray reads; remove one first")
            notice = Notice(id=id, kind=kind, title=title, body=body, target=target,
                            section=free)
            self._sections[free] = notice

        warn_if_cut(f"notice id {id[:40]!r}...", id)
        warn_if_longer(f"notice {id!r}: title", title, _rules.BALLOON_TITLE_LENGTH,
                       "the balloon shows")
        warn_if_longer(f"notice {id!r}: body", body, _rules.BALLOON_BODY_LENGTH,
                       "the balloon shows")
        return notice

    def remove_notice(self, id: str) -> Notice:
        """Takes the listed notice with this id off the list, frees its section and returns it.

        The same rule as add_notice finds it: the id as the tray reads it, letter case not
        counted, so "Tip-1" removes the notice listed as "tip-1". KeyError when none is listed.
        """
        with self._lock:
            listed = self._listed(id)
            if listed is None:
                raise KeyError(f"no notice with id {id!r} is listed")
            del self._sections[listed.section]
            return listed

    def clear_notices(self) -> None:
        """Takes every notice off the list."""
        with self._lock:
            self._sections.clear()

    def _listed(self, id: str) -> Optional[Notice]:
        """The listed notice that the seen file would take for the same id, or None."""
        key = _rules.id_key(_rules.as_read(id))
        for section in sorted(self._sections):
            notice = self._sections[section]
            if _rules.id_key(_rules.as_read(notice.id)) == key:
                return notice
        return None

    # -- writing --------------------------------------------------------------------------------

    def write(self) -> None:
        """Writes the whole file with the heartbeat of now and replaces the old one at once."""
        self._write(int(time.time()))

    def write_stopped(self) -> None:
        """Writes the file of an application that has ended: no heartbeat, labels kept."""
        self._write(0)

    def _write(self, written_unix: int) -> None:
        try:
            with self._lock:
                data = encode_profile(self._sections_to_write(written_unix))
                replace_file(self.path, data)
        except OSError as error:
            logger.error("could not write the state file %s: %s", self.path, error)
            raise
        except Exception:
            logger.exception("could not write the state file %s", self.path)
            raise

    def _sections_to_write(self, written_unix: int) -> List[Tuple[str, List[Tuple[str, str]]]]:
        state = [("written_unix", str(written_unix)), ("pid", str(self._pid)),
                 ("status", self._status)]
        if self._role is not None:
            state.append(("role", self._role))
        state.append(("rtl", "1" if self._rtl else "0"))
        state.extend((f"label_{name}", text) for name, text in self._labels.snapshot())
        state.append(("notices", str(max(self._sections, default=0))))
        sections = [("state", state)]
        for section in sorted(self._sections):
            notice = self._sections[section]
            sections.append((f"notice{section}", [
                ("id", notice.id), ("kind", notice.kind), ("target", notice.target),
                ("title", notice.title), ("body", notice.body)]))
        return sections


def _duplicate_message(id: str, listed: Notice) -> str:
    where = f"in [notice{listed.section}]"
    if listed.id == id:
        return (f"notice id {id!r} is listed already ({where}); the tray shows an id once, so "
                "a new message needs a new id")
    if _rules.as_read(listed.id) == _rules.as_read(id):
        return (f"notice id {id!r}: {listed.id!r} is listed already ({where}), and the tray "
                f"reads only the first {_rules.MAX_VALUE_LENGTH} UTF-16 code units of each, "
                "which are the same")
    return (f"notice id {id!r}: {listed.id!r} is listed already ({where}) and differs only in "
            "letter case, which the seen file does not tell apart")


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
