"""A state file written by other means, read as the tray program reads it: what the program
would skip, refuse or cut, line by line, by the rules that StateFile applies when it writes.

The reading follows the profile reader the program calls for each value: the file's encoding
from its byte-order mark; lines that end at a carriage return or a line feed; blanks (space,
tab, line feed, vertical tab, form feed, carriage return, 0x1A) trimmed around names and values;
a line "[name]" opening a section; ";" first making a comment; names matched without regard to
letter case, the first section and the first key of a name counting; one pair of quotes around
a value dropped; at most 4095 UTF-16 code units of a value, up to its first NUL.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from . import _rules

_BOM_UTF16LE = b"\xff\xfe"
_BOM_UTF16BE = b"\xfe\xff"
_BOM_UTF8 = b"\xef\xbb\xbf"

_STATE_KEYS = ("written_unix", "pid", "status", "notices", "role", "rtl")
_NOTICE_KEYS = ("id", "kind", "target", "title", "body")
_NOTICE_SECTION = re.compile(r"notice([1-9][0-9]*)", re.IGNORECASE)
_DIGITS = re.compile(r"[0-9]+")


@dataclass(frozen=True)
class Finding:
    """Something the program would skip, refuse or cut: the line it stands on (0 for the file
    as a whole), where in the file ("[notice2] kind"), and what and why."""

    line: int
    place: str
    message: str

    def format(self, path: str) -> str:
        where = f"{path}:{self.line}" if self.line else path
        if self.place:
            where = f"{where}: {self.place}"
        return f"{where}: {self.message}"


@dataclass
class _Key:
    line: int
    name: str
    written: Optional[str]  # the text after "=", blanks trimmed; None for a line without "="

    @property
    def intended(self) -> str:
        """The value as its writer meant it: the text between the quotes, if quoted."""
        if self.written is None:
            return ""
        return _unquoted(self.written)

    @property
    def read(self) -> str:
        return _read_value(self.written)


@dataclass
class _Section:
    line: int
    name: str
    keys: Dict[str, _Key] = field(default_factory=dict)


def _quoted(written: str) -> bool:
    return len(written) > 1 and written[0] in "\"'" and written[-1] == written[0]


def _unquoted(written: str) -> str:
    return written[1:-1] if _quoted(written) else written


def _read_value(written: Optional[str]) -> str:
    """What the program gets back for a value: one pair of enclosing quotes dropped, at most
    4095 UTF-16 code units (Wine's reader returns one less of a value of exactly 4095 between
    quotes), and nothing from the first NUL on."""
    if written is None:
        return ""
    inner = _unquoted(written)
    limit = _rules.MAX_VALUE_LENGTH
    if _quoted(written) and _rules.utf16_length(inner) == limit:
        limit -= 1
    return _rules.utf16_prefix(inner, limit).split("\0", 1)[0]


def parse_int(text: str, bits: int) -> int:
    """The program's reading of an integer: blanks skipped, one sign, the digits up to the first
    other character (none gives 0), values beyond the range stuck at its ends."""
    match = re.match(r"[ \t\n\v\f\r\x1a]*([+-]?)([0-9]*)", text)
    assert match is not None
    sign, digits = match.groups()
    value = -int(digits or "0") if sign == "-" else int(digits or "0")
    bound = 1 << (bits - 1)
    return max(-bound, min(bound - 1, value))


def _decode(data: bytes) -> Tuple[str, Optional[str]]:
    """The file's text and, when the program's reader would not take it as written, why."""
    if data.startswith(_BOM_UTF16LE):
        return data[2:].decode("utf-16-le", "surrogatepass"), None
    if data.startswith(_BOM_UTF16BE):
        return (data[2:].decode("utf-16-be", "replace"),
                "UTF-16 big-endian: the profile reader takes UTF-16LE (first bytes FF FE) or "
                "the ANSI code page; write UTF-16LE with its byte-order mark")
    if data.startswith(_BOM_UTF8):
        return (data[3:].decode("utf-8", "replace"),
                "UTF-8 with a byte-order mark: Windows' profile reader reads it in the ANSI "
                "code page, where the mark spoils the first line and every character beyond "
                "ASCII comes out garbled (Wine alone reads it as UTF-8); write UTF-16LE with "
                "its byte-order mark (FF FE)")
    if all(byte < 0x80 for byte in data):
        return data.decode("ascii"), None
    return (data.decode("utf-8", "replace"),
            "no byte-order mark and bytes beyond ASCII: the profile reader reads the file in "
            "the ANSI code page, where such characters come out garbled; write UTF-16LE with "
            "its byte-order mark (FF FE)")


class _Checker:
    def __init__(self, web_host: str) -> None:
        self.web_host = web_host
        self.findings: List[Finding] = []
        self.sections: Dict[str, _Section] = {}

    def add(self, line: int, place: str, message: str) -> None:
        self.findings.append(Finding(line, place, message))

    # -- reading ---------------------------------------------------------------------------------

    def read(self, text: str) -> None:
        current: Optional[_Section] = None
        repeated = False  # the current section repeats an earlier one of its name
        for number, raw_line in enumerate(re.split(r"\r\n|\r|\n", text), start=1):
            line = raw_line.strip(_rules.PROFILE_BLANKS)
            if not line or line.startswith(";"):
                continue
            if line.startswith("[") and "]" in line:
                name = line[1:line.rindex("]")]
                key = _rules.id_key(name)
                if key in self.sections:
                    first = self.sections[key]
                    self.add(number, f"[{name}]", f"[{first.name}] on line {first.line} comes "
                             "first: the program reads that section only, none of this one")
                    repeated = True
                    continue
                current = self.sections[key] = _Section(number, name)
                repeated = False
                continue
            if "=" in line:
                index = line.index("=")
                name = line[:index].rstrip(_rules.PROFILE_BLANKS)
                written: Optional[str] = line[index + 1:].lstrip(_rules.PROFILE_BLANKS)
            else:
                name, written = line, None
            if current is None:
                self.add(number, "", f"{line[:40]!r} stands before any [section]: never read")
                continue
            if repeated:
                continue
            place = f"[{current.name}] {name}"
            if written is None:
                self.add(number, f"[{current.name}]",
                         f"{line[:40]!r} is no key=value line: never read")
                continue
            key = _rules.id_key(name)
            if key in current.keys:
                first_key = current.keys[key]
                self.add(number, place, f"{first_key.name!r} on line {first_key.line} comes "
                         "first: the program reads that one only")
                continue
            current.keys[key] = _Key(number, name, written)
            if _read_value(written) != _unquoted(written):
                self.cut(current, current.keys[key])

    def cut(self, section: _Section, key: _Key) -> None:
        intended, read = key.intended, key.read
        place = f"[{section.name}] {key.name}"
        if "\0" in intended and read == intended.split("\0", 1)[0]:
            self.add(key.line, place, "the program reads the value up to its NUL character "
                     f"only, {_rules.utf16_length(read)} of {_rules.utf16_length(intended)} "
                     "UTF-16 code units")
        else:
            self.add(key.line, place, f"is {_rules.utf16_length(intended)} UTF-16 code units "
                     f"long; the program reads only the first {_rules.utf16_length(read)}")

    # -- what the program makes of it ------------------------------------------------------------

    def check(self) -> None:
        state = self.sections.get(_rules.id_key("state"))
        if state is None:
            self.add(0, "", "no [state] section: the program counts the application as "
                     "stopped, reads no notice and shows an empty tooltip")
            count = 0
        else:
            count = self.check_state(state)
        read_sections = {_rules.id_key("state")}
        ids: Dict[str, Tuple[str, str]] = {}  # id as the seen file keys it: section, id
        for number in range(1, min(count, _rules.MAX_NOTICES) + 1):
            key = _rules.id_key(f"notice{number}")
            read_sections.add(key)
            if key in self.sections:
                self.check_notice(self.sections[key], ids)
        for key, section in self.sections.items():
            if key in read_sections:
                continue
            match = _NOTICE_SECTION.fullmatch(section.name)
            if match is None:
                why = "the program reads [state] and [notice1] to [notice50] only"
            elif int(match.group(1)) > _rules.MAX_NOTICES:
                why = f"the program reads [notice1] to [notice{_rules.MAX_NOTICES}] only"
            else:
                why = f"'notices' is {count}, so the program reads no section beyond " + (
                    f"[notice{count}]" if count > 0 else "[state]")
            self.add(section.line, f"[{section.name}]", f"never read: {why}")

    def check_state(self, state: _Section) -> int:
        keys = state.keys
        known = {_rules.id_key(name) for name in _STATE_KEYS} | {
            _rules.id_key(f"label_{label}") for label in _rules.LABEL_NAMES}
        for key in keys.values():
            if _rules.id_key(key.name) not in known:
                labels = ", ".join(f"label_{name}" for name in _rules.LABEL_NAMES)
                self.add(key.line, f"[{state.name}] {key.name}",
                         "the program reads no such key; the keys of [state] are "
                         f"{', '.join(_STATE_KEYS)}, {labels}")

        def value(name: str) -> Optional[_Key]:
            return keys.get(_rules.id_key(name))

        for name in ("written_unix", "pid"):
            if value(name) is None:
                self.add(state.line, f"[{state.name}]", f"no {name}: the program counts the "
                         "application as stopped and reads no notice")
        self.check_integer(state, value("written_unix"), 64, 0, 2**63 - 1,
                           "0 (stopped) or the time of the write in seconds since 1970")
        self.check_integer(state, value("pid"), 64, 1, 0xFFFFFFFF,
                           "the id of the live process that writes the heartbeat, 1 to "
                           "2**32 - 1; the program counts any other as stopped")
        count_key = value("notices")
        self.check_integer(state, count_key, 32, 0, 2**31 - 1,
                           "the number of the highest [noticeN] section")
        for name, words, meaning in (
                ("status", ("running", "update_waiting"),
                 "the program tells 'update_waiting' apart and takes any other for 'running'"),
                ("role", ("server",), "the program tells 'server' apart and ignores any other"),
                ("rtl", ("0", "1"), "the program tells '1' apart and lays any other out left "
                 "to right")):
            word = value(name)
            if word is not None and word.read and word.read not in words:
                self.add(word.line, f"[{state.name}] {word.name}",
                         f"{word.read!r}: {meaning}, written exactly so")
        self.check_tooltips(state)
        return parse_int(count_key.read, 32) if count_key is not None else 0

    def check_integer(self, section: _Section, key: Optional[_Key], bits: int, low: int,
                      high: int, meaning: str) -> None:
        if key is None:
            return
        text = key.read
        if not _DIGITS.fullmatch(text):
            self.add(key.line, f"[{section.name}] {key.name}",
                     f"{text!r} reads as {parse_int(text, bits)}: write plain digits, {meaning}")
        elif not low <= int(text) <= high:
            self.add(key.line, f"[{section.name}] {key.name}", f"{text!r}: write {meaning}")

    def check_tooltips(self, state: _Section) -> None:
        title = state.keys.get(_rules.id_key("label_title"))
        for status in _rules.STATUS_LABELS:
            label = state.keys.get(_rules.id_key(f"label_{status}"))
            texts = [key.read for key in (title, label) if key is not None and key.read]
            tooltip = "\n".join(texts)
            length = _rules.utf16_length(tooltip)
            if length > _rules.TOOLTIP_LENGTH:
                key = label if label is not None and label.read else title
                assert key is not None
                self.add(key.line, f"[{state.name}] {key.name}",
                         f"the tooltip of status {status!r} (title, line feed, label) is "
                         f"{length} UTF-16 code units long; the tooltip shows only the first "
                         f"{_rules.TOOLTIP_LENGTH}")

    def check_notice(self, section: _Section, ids: Dict[str, Tuple[str, str]]) -> None:
        where = f"[{section.name}]"
        for key in section.keys.values():
            if _rules.id_key(key.name) not in {_rules.id_key(name) for name in _NOTICE_KEYS}:
                self.add(key.line, f"{where} {key.name}", "the program reads no such key; the "
                         f"keys of a notice are {', '.join(_NOTICE_KEYS)}")

        def value(name: str) -> Optional[_Key]:
            return section.keys.get(_rules.id_key(name))

        notice_id, kind, target, title, body = (value(name) for name in _NOTICE_KEYS)
        if notice_id is None or not notice_id.read:
            self.add(notice_id.line if notice_id else section.line, where,
                     "no id: the program skips this notice")
        else:
            problem = _rules.notice_id_problem(notice_id.read)
            if problem is not None:
                self.add(notice_id.line, f"{where} {notice_id.name}",
                         f"{notice_id.read!r}: the program skips this notice, as {problem}")
            else:
                seen_key = _rules.id_key(notice_id.read)
                if seen_key in ids:
                    first_section, first_id = ids[seen_key]
                    how = ("the same id" if first_id == notice_id.read else
                           f"{first_id!r}, which the seen file does not tell apart from it")
                    self.add(notice_id.line, f"{where} {notice_id.name}",
                             f"{notice_id.read!r}: [{first_section}] lists {how}; the seen "
                             "file keeps one mark for both")
                else:
                    ids[seen_key] = (section.name, notice_id.read)
        if kind is None:
            self.add(section.line, where, "no kind: the program skips this notice")
        else:
            problem = _rules.kind_problem(kind.read)
            if problem is not None:
                self.add(kind.line, f"{where} {kind.name}",
                         f"{kind.read!r}: the program skips this notice: {problem}")
        if title is None or not title.read:
            self.add(title.line if title else section.line, where,
                     "no title: the program skips this notice")
        for text, limit in ((title, _rules.BALLOON_TITLE_LENGTH),
                            (body, _rules.BALLOON_BODY_LENGTH)):
            if text is not None and _rules.utf16_length(text.read) > limit:
                self.add(text.line, f"{where} {text.name}",
                         f"is {_rules.utf16_length(text.read)} UTF-16 code units long; the "
                         f"balloon shows only the first {limit}")
        if target is not None:
            problem = _rules.target_problem(target.read, self.web_host)
            if problem is not None:
                self.add(target.line, f"{where} {target.name}",
                         f"a click would do nothing with {target.read!r}: {problem}")


def read_state_section(data: bytes) -> Dict[str, str]:
    """The values of [state] as the program reads them, by key in lower case."""
    checker = _Checker("")
    checker.read(_decode(data)[0])
    state = checker.sections.get(_rules.id_key("state"))
    return {} if state is None else {key: value.read for key, value in state.keys.items()}


def check_state_file(data: bytes, web_host: str) -> List[Finding]:
    """What the program would skip, refuse or cut in the state file of these bytes, in the
    order of the file's lines (the file as a whole first). Empty when it reads all as written."""
    checker = _Checker(web_host)
    text, problem = _decode(data)
    if problem is not None:
        checker.add(0, "", problem)
    checker.read(text)
    checker.check()
    return sorted(checker.findings, key=lambda finding: finding.line)
