"""The table of cases that the tray program's logic tests read as well: tests/contract/cases.tsv.

Its format is described at the top of the file. Loading checks every line: an unknown column, a
missing one, a wrong number of fields, an unknown field or outcome, or a bad escape is an error
naming the file and the line.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Dict, FrozenSet, List, Optional

CASES_FILE = Path(__file__).resolve().parents[2] / "tests" / "contract" / "cases.tsv"
COLUMNS = ("field", "input", "outcome", "why")
OUTCOMES: Dict[str, FrozenSet[str]] = {
    "id": frozenset({"keep", "skip"}),
    "kind": frozenset({"keep", "skip"}),
    "target": frozenset({"web", "screen", "none", "ignore"}),
    "value": frozenset({"keep", "cut", "refuse"}),
}
_ESCAPES = {"t": "\t", "r": "\r", "n": "\n", "0": "\0", "\\": "\\", "{": "{", "}": "}"}


class CaseFileError(ValueError):
    pass


@dataclass(frozen=True)
class Case:
    field: str
    raw: str
    outcome: str
    why: str
    line: int

    def input(self, host: str) -> str:
        """The input, with {host} replaced by the given web host."""
        return decode(self.raw, host)

    def __str__(self) -> str:
        return f"line {self.line}: {self.field} {self.raw!r} -> {self.outcome} ({self.why})"


def decode(raw: str, host: str) -> str:
    """The text of an input field: escapes and placeholders resolved, as UTF-16 code units."""
    units: List[int] = []
    fill: Optional[tuple[int, int, int]] = None  # (position, code unit, total length)
    index = 0
    while index < len(raw):
        character = raw[index]
        if character == "\\":
            escape = raw[index + 1:index + 2]
            if escape in _ESCAPES:
                units.append(ord(_ESCAPES[escape]))
                index += 2
            elif escape == "u":
                digits = raw[index + 2:index + 6]
                if len(digits) != 4 or any(d not in "0123456789abcdefABCDEF" for d in digits):
                    raise ValueError(f"\\u needs four hex digits: {raw[index:index + 6]!r}")
                units.append(int(digits, 16))
                index += 6
            else:
                raise ValueError(f"unknown escape {raw[index:index + 2]!r}")
        elif character == "{":
            end = raw.find("}", index)
            if end < 0:
                raise ValueError("'{' without '}'")
            inner = raw[index + 1:end]
            if inner == "host":
                units.extend(_units(host))
            elif "*=" in inner:
                text, count = inner.rsplit("*=", 1)
                if len(text) != 1 or not count.isdigit() or fill is not None:
                    raise ValueError(f"bad fill {{{inner}}}: one character, '*=', a length; "
                                     "at most one fill")
                fill = (len(units), ord(text), int(count))
            elif "*" in inner:
                text, count = inner.rsplit("*", 1)
                if not text or "\\" in text or not count.isdigit():
                    raise ValueError(f"bad repeat {{{inner}}}: text, '*', a count")
                units.extend(_units(text) * int(count))
            else:
                raise ValueError(f"unknown placeholder {{{inner}}}")
            index = end + 1
        elif character == "}":
            raise ValueError("'}' without '{'")
        else:
            units.append(ord(character))
            index += 1
    if fill is not None:
        position, unit, total = fill
        missing = total - len(units)
        if missing < 0:
            raise ValueError(f"the input is longer than its fill length {total}")
        units[position:position] = [unit] * missing
    data = b"".join(unit.to_bytes(2, "little") for unit in units)
    return data.decode("utf-16-le", "surrogatepass")


def _units(text: str) -> List[int]:
    data = text.encode("utf-16-le", "surrogatepass")
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]


def load_cases(path: Path = CASES_FILE) -> List[Case]:
    cases: List[Case] = []
    columns: Optional[List[str]] = None
    for number, line in enumerate(path.read_bytes().split(b"\n"), start=1):
        def fail(message: str) -> CaseFileError:
            return CaseFileError(f"{path}:{number}: {message}")

        try:
            text = line.decode("ascii")
        except UnicodeDecodeError:
            raise fail("not ASCII; write other characters as \\uXXXX") from None
        if not text or text.startswith("#"):
            continue
        if any(not " " <= character <= "~" for character in text.replace("\t", "")):
            raise fail("a control character; write it as an escape")
        fields = text.split("\t")
        if columns is None:
            for name in fields:
                if name not in COLUMNS:
                    raise fail(f"unknown column {name!r}; the columns are {', '.join(COLUMNS)}")
            missing = [name for name in COLUMNS if fields.count(name) != 1]
            if missing:
                raise fail(f"column {missing[0]!r} missing or given twice")
            columns = fields
            continue
        if len(fields) != len(columns):
            raise fail(f"{len(fields)} fields, where the header has {len(columns)}")
        row = dict(zip(columns, fields))
        if row["field"] not in OUTCOMES:
            raise fail(f"unknown field {row['field']!r}")
        if row["outcome"] not in OUTCOMES[row["field"]]:
            raise fail(f"outcome {row['outcome']!r} for field {row['field']!r}; one of "
                       f"{', '.join(sorted(OUTCOMES[row['field']]))}")
        if not row["why"]:
            raise fail("empty why")
        try:
            decode(row["input"], "example.org")
        except ValueError as error:
            raise fail(f"input {row['input']!r}: {error}") from None
        cases.append(Case(row["field"], row["input"], row["outcome"], row["why"], number))
    if columns is None:
        raise CaseFileError(f"{path}: no header line")
    return cases
