"""The companion simulator's files (tools/companion-sim/README.md), for its end-to-end test and the
tour: scenario files, which it reads, and its record of events, which it writes."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

from .profiles import UTF8, UTF16, Profile, write_profile


def read_scenario(path: Path) -> dict[str, dict[str, str]]:
    """Sections and keys, names in lower case. The simulator reads UTF-8 (with or without a
    byte-order mark) and UTF-16LE with one, and skips lines that begin with ";" or "#"."""
    return Profile.read(path, without_mark=UTF8, comments=";#").as_dict()


def write_scenario(path: Path, sections: Mapping[str, Mapping[str, Any]], *,
                   utf16: bool = False) -> None:
    write_profile(path, sections, UTF16 if utf16 else UTF8)


def scenario_notices(scenario: Mapping[str, Mapping[str, str]]) -> list[dict[str, str]]:
    """The scenario's notices in section order."""
    numbered = [(int(name[6:]), keys) for name, keys in scenario.items()
                if re.fullmatch(r"notice[1-9][0-9]*", name)]
    return [dict(keys) for _, keys in sorted(numbered, key=lambda pair: pair[0])]


@dataclass(frozen=True)
class Event:
    """One line of the simulator's record: "word key=value ..."."""
    word: str
    fields: dict[str, str]

    def __getitem__(self, key: str) -> str:
        return self.fields[key]


def read_record(path: Path) -> list[Event]:
    if not path.exists():
        return []
    events = []
    for line in path.read_text(encoding="utf-8").splitlines(keepends=True):
        if not line.endswith("\n"):
            break  # still being written
        word, *rest = line.split()
        events.append(Event(word, dict(item.split("=", 1) for item in rest if "=" in item)))
    return events


def record_text(path: Path) -> str:
    return path.read_text(encoding="utf-8") if path.exists() else "(no record)"
