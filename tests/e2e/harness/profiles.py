"""Profile files, read and written the way the Windows profile functions see them: the seen file
that the program keeps, the simulator's scenarios, and state files that the package vestrel_tray
does not write (the bad-input corpus, targets the program refuses, an old heartbeat, no pid).
The one raw codec of the bench; a valid state file is written by the package (companion.py).

Encodings: UTF-16LE with a byte-order mark (what the companion writes and the program keeps), the
ANSI code page for a file without a mark (Windows-1252 in this bench's prefix), and UTF-8, which
only the companion simulator reads (its scenario files; Windows' profile reader does not).
Reading also recognises UTF-16BE and UTF-8 by their marks, for files that a test left that way.

Names are matched as the profile reader matches them: without regard to letter case, with the
reader's blanks trimmed (ASCII blanks and ^Z only; measured under Wine), lines ending at CR or
LF. A lookup finds the first section of a name and the first key in it, as the reader does.
"""

from __future__ import annotations

import codecs
import contextlib
import os
import re
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Mapping, Sequence

UTF16 = "utf-16-le"
UTF16_BE = "utf-16-be"
ANSI = "ansi"
UTF8 = "utf-8"

BYTE_ORDER_MARKS = {UTF16: b"\xff\xfe", UTF16_BE: b"\xfe\xff", UTF8: b"\xef\xbb\xbf"}
# What the profile functions trim around names and values.
BLANKS = " \t\n\v\f\r\x1a"
_LINE_END = re.compile(r"\r\n|\r|\n")


def _ansi_fallback(error: UnicodeError) -> tuple[str, int]:
    # Windows maps the five bytes that Windows-1252 leaves undefined to the control characters of
    # the same value; Python's codec refuses them.
    if not isinstance(error, UnicodeDecodeError):
        raise error
    bad = error.object[error.start:error.end]
    return "".join(chr(byte) for byte in bad), error.end


codecs.register_error("vestrel-ansi", _ansi_fallback)


def _codec(encoding: str) -> str:
    return "cp1252" if encoding == ANSI else encoding


def encoding_of(data: bytes, without_mark: str = ANSI) -> str:
    """The encoding that the byte-order mark names; without_mark for a file without one."""
    for encoding in (UTF16, UTF16_BE, UTF8):
        if data.startswith(BYTE_ORDER_MARKS[encoding]):
            return encoding
    return without_mark


def decode(data: bytes, without_mark: str = ANSI, *, strict: bool = False) -> str:
    """The text of a file, without its byte-order mark. A broken code unit reads as U+FFFD, or
    with strict raises UnicodeDecodeError (to check that a file is whole)."""
    encoding = encoding_of(data, without_mark)
    mark = BYTE_ORDER_MARKS.get(encoding, b"")
    if not data.startswith(mark):
        mark = b""
    errors = "vestrel-ansi" if encoding == ANSI else "strict" if strict else "replace"
    return data[len(mark):].decode(_codec(encoding), errors)


def encode(text: str, encoding: str = UTF16, *, mark: bool | None = None) -> bytes:
    """Bytes of text in encoding, after its byte-order mark if mark (by default UTF-16 has one,
    UTF-8 none)."""
    if mark is None:
        mark = encoding in (UTF16, UTF16_BE)
    body = text.encode(_codec(encoding))
    return (BYTE_ORDER_MARKS.get(encoding, b"") if mark else b"") + body


def lines_text(lines: Iterable[str]) -> str:
    """Lines with the CRLF ends that Windows writes."""
    return "".join(line + "\r\n" for line in lines)


def profile_lines(sections: Mapping[str, Mapping[str, Any]]) -> list[str]:
    """The lines of a profile file with these sections and keys, in this order."""
    lines: list[str] = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys.items())
    return lines


def render(sections: Mapping[str, Mapping[str, Any]]) -> str:
    """The text of a profile file with these sections and keys, in this order."""
    return lines_text(profile_lines(sections))


def encode_profile(sections: Mapping[str, Mapping[str, Any]], encoding: str = UTF16) -> bytes:
    return encode(render(sections), encoding)


def replace_file(path: Path, data: bytes) -> None:
    """Puts bytes in place in one step, so that a reader never sees half of them: for files that
    the package does not write. A temporary file of its own beside path is moved over it (on
    Linux the move succeeds while a Windows program under Wine has the file open)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp",
                                             dir=path.parent)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def write_profile(path: Path, sections: Mapping[str, Mapping[str, Any]],
                  encoding: str = UTF16) -> None:
    """Writes a profile file in one step (UTF-16LE with a byte-order mark unless told)."""
    replace_file(path, encode_profile(sections, encoding))


def state_sections(pid: int, *, written_unix: int | None = None, status: str = "running",
                   labels: Mapping[str, str] | None = None,
                   notices: Sequence[Mapping[str, str]] = (),
                   extra: Mapping[str, Any] | None = None) -> dict[str, dict[str, Any]]:
    """A state file that the package would refuse to write, key by key as given: a heartbeat of
    written_unix (now unless given), any pid (0 among them), labels, further [state] keys, and
    the notices in [notice1] on, whatever their targets."""
    state: dict[str, Any] = {
        "written_unix": int(time.time()) if written_unix is None else written_unix,
        "pid": pid,
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


@dataclass(frozen=True)
class Section:
    name: str
    keys: tuple[tuple[str, str], ...]  # as written, in file order, blanks trimmed


@dataclass(frozen=True)
class Profile:
    """The sections of a profile file in file order, each with its keys as they stand."""
    sections: tuple[Section, ...]

    @classmethod
    def parse(cls, text: str, *, comments: str = "") -> Profile:
        """Lines that begin with a character of comments are skipped (the simulator's scenarios
        use ";" and "#"; the profile reader keeps such keys, so profile files are read with
        none). Lines before the first section and lines without "=" count for nothing."""
        sections: list[Section] = []
        name: str | None = None
        keys: list[tuple[str, str]] = []
        for raw in _LINE_END.split(text):
            line = raw.strip(BLANKS)
            if not line or line[0] in comments:
                continue
            if line.startswith("[") and "]" in line:
                if name is not None:
                    sections.append(Section(name, tuple(keys)))
                name, keys = line[1:line.index("]")].strip(BLANKS), []
            elif name is not None and "=" in line:
                key, value = line.split("=", 1)
                keys.append((key.strip(BLANKS), value.strip(BLANKS)))
        if name is not None:
            sections.append(Section(name, tuple(keys)))
        return cls(tuple(sections))

    @classmethod
    def from_bytes(cls, data: bytes, *, without_mark: str = ANSI, comments: str = "") -> Profile:
        return cls.parse(decode(data, without_mark), comments=comments)

    @classmethod
    def read(cls, path: Path, *, without_mark: str = ANSI, comments: str = "") -> Profile:
        """The file's sections; none for a file that does not exist."""
        if not path.is_file():
            return cls(())
        return cls.from_bytes(path.read_bytes(), without_mark=without_mark, comments=comments)

    def section(self, name: str) -> dict[str, str]:
        """Keys and values of the first section of that name, as the reader finds them: names in
        lower case, the first of equal keys wins."""
        for section in self.sections:
            if section.name.lower() == name.lower():
                found: dict[str, str] = {}
                for key, value in section.keys:
                    found.setdefault(key.lower(), value)
                return found
        return {}

    def get(self, section: str, key: str, default: str | None = None) -> str | None:
        return self.section(section).get(key.lower(), default)

    def entries(self, name: str) -> list[tuple[str, str]]:
        """Every key line of every section of that name, as written and in file order: what the
        file holds, whether or not the reader would find it."""
        return [entry for section in self.sections if section.name.lower() == name.lower()
                for entry in section.keys]

    def as_dict(self) -> dict[str, dict[str, str]]:
        """Every section name (in lower case) with its keys, as the reader finds them."""
        found: dict[str, dict[str, str]] = {}
        for section in self.sections:
            found.setdefault(section.name.lower(), self.section(section.name))
        return found


def read_profile(path: Path) -> dict[str, dict[str, str]]:
    """Sections and keys of a profile file as the reader finds them; names in lower case."""
    return Profile.read(path).as_dict()


def shown_marks(data: bytes) -> set[str]:
    """Ids (in lower case) that the file marks as shown ("1") in any [shown] section."""
    return {key.lower() for key, value in Profile.from_bytes(data).entries("shown")
            if value == "1"}
