"""The shared table of cases (tests/contract/cases.tsv) against the package: it refuses exactly
the inputs that the tray skips or refuses, and writes the others so that they read back."""

from __future__ import annotations

import re
import warnings
from pathlib import Path
from typing import Any, Dict, List

import pytest

import vestrel_tray
from contract_cases import Case, CaseFileError, decode, load_cases
from test_state_file import read_sections
from vestrel_tray import ContractError, StateFile

CASES = load_cases()
REFUSED = {"skip", "ignore", "refuse"}
# The build's web host, and another one: the table holds for any host.
HOSTS = [vestrel_tray.WEB_HOST, "example.org"]


def cases_of(*fields: str) -> List[Case]:
    return [case for case in CASES if case.field in fields]


@pytest.mark.parametrize("host", HOSTS)
@pytest.mark.parametrize("case", cases_of("id", "kind", "target"), ids=str)
def test_notices(tmp_path: Path, case: Case, host: str) -> None:
    state = StateFile(tmp_path / "state.ini", web_host=host)
    notice = dict(id="notice-1", kind="info", title="Title", target="")
    notice[case.field] = case.input(host)
    # The table's kinds are any text, which the type checker would refuse: checked at run time.
    arguments: Dict[str, Any] = notice
    if case.outcome in REFUSED:
        with pytest.raises(ContractError):
            state.add_notice(**arguments)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        state.add_notice(**arguments)
    state.write()
    assert read_sections(Path(state.path))["notice1"][case.field] == notice[case.field]


@pytest.mark.parametrize("case", cases_of("value"), ids=str)
def test_values(tmp_path: Path, case: Case) -> None:
    # A menu label: the tray shows it whole, so only the reader's own limit applies. A label is
    # refused, or reported as cut, as it is set.
    state = StateFile(tmp_path / "state.ini")
    text = case.input(vestrel_tray.WEB_HOST)
    if case.outcome == "refuse":
        with pytest.raises(ContractError, match="label 'open'"):
            state.labels["open"] = text
        assert "open" not in state.labels
        return
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        state.labels["open"] = text
    cut = [str(w.message) for w in record if "label 'open'" in str(w.message)]
    assert len(cut) == (case.outcome == "cut"), cut
    state.write()
    assert read_sections(Path(state.path))["state"]["label_open"] == text


def test_the_table_covers_every_outcome() -> None:
    # A table cut short by a bad merge must not pass quietly.
    outcomes = {(case.field, case.outcome) for case in CASES}
    assert outcomes == {("id", "keep"), ("id", "skip"), ("kind", "keep"), ("kind", "skip"),
                        ("target", "web"), ("target", "screen"), ("target", "none"),
                        ("target", "ignore"), ("value", "keep"), ("value", "cut"),
                        ("value", "refuse")}


@pytest.mark.parametrize("raw, text", [
    (r"a\tb\r\n\0\\\{\}", "a\tb\r\n\0\\{}"),
    (r"\u00FCber \uD83D\uDE00", "\u00fcber \U0001f600"),
    ("https://{host}/x", "https://example.org/x"),
    ("{ab*3}c", "abababc"),
    ("https://{host}/{p*=24}", "https://example.org/pppp"),
])
def test_inputs_decode(raw: str, text: str) -> None:
    assert decode(raw, "example.org") == text


@pytest.mark.parametrize("content, line, message", [
    ("field\tinput\toutcome\twhy\tnote\n", 1, "unknown column 'note'"),
    ("field\tinput\toutcome\n", 1, "'why' missing"),
    ("# comment\n\nfield\tinput\toutcome\twhy\nid\ta\tkeep\n", 4, "3 fields"),
    ("field\tinput\toutcome\twhy\nid\ta\tshown\tx\n", 2, "outcome 'shown'"),
    ("field\tinput\toutcome\twhy\nlabel\ta\tkeep\tx\n", 2, "unknown field 'label'"),
    ("field\tinput\toutcome\twhy\nid\ta\\qb\tkeep\tx\n", 2, "unknown escape"),
    ("field\tinput\toutcome\twhy\nid\t{x*}\tkeep\tx\n", 2, "bad repeat"),
    ("field\tinput\toutcome\twhy\nid\t\\u12\tkeep\tx\n", 2, "four hex digits"),
    ("field\tinput\toutcome\twhy\r\nid\ta\tkeep\tx\r\n", 1, "control character"),
    ("field\tinput\toutcome\twhy\nid\t\u00e9\tkeep\tx\n", 2, "not ASCII"),
    ("field\tinput\toutcome\twhy\nid\ta\tkeep\t\n", 2, "empty why"),
])
def test_a_bad_line_is_an_error_naming_file_and_line(tmp_path: Path, content: str, line: int,
                                                     message: str) -> None:
    path = tmp_path / "cases.tsv"
    path.write_bytes(content.encode("utf-8"))
    with pytest.raises(CaseFileError, match=f"^{re.escape(str(path))}:{line}: .*{message}"):
        load_cases(path)
