"""python -m vestrel_tray check: a state file written by other means, read as the program reads
it. The shared table of cases decides as it does for StateFile; a file that StateFile writes
passes; a file written by configparser shows what such a writer gets wrong."""

from __future__ import annotations

import configparser
import os
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

import vestrel_tray
from contract_cases import Case, load_cases
from test_state_file import GOLDEN
from vestrel_tray import StateFile
from vestrel_tray.__main__ import main
from vestrel_tray._check import Finding, check_state_file
from vestrel_tray._state_file import encode_profile

CASES = load_cases()
SOURCES = Path(__file__).resolve().parents[1] / "src"
HOSTS = [vestrel_tray.WEB_HOST, "example.org"]
KEPT = {"keep", "web", "screen", "none"}

Sections = List[Tuple[str, List[Tuple[str, str]]]]


def state_file(labels: Dict[str, str], notice: Dict[str, str]) -> Sections:
    """A running application's file with one notice, written as the package writes values."""
    state = [("written_unix", "1767225600"), ("pid", "4812"), ("status", "running"),
             ("rtl", "0")]
    state += [(f"label_{name}", text) for name, text in labels.items()]
    state.append(("notices", "1"))
    return [("state", state), ("notice1", list(notice.items()))]


def utf16(*lines: str) -> bytes:
    return b"\xff\xfe" + "".join(line + "\r\n" for line in lines).encode("utf-16-le",
                                                                           "surrogatepass")


@pytest.mark.parametrize("host", HOSTS)
@pytest.mark.parametrize("case", [case for case in CASES if case.field != "value"], ids=str)
def test_notice_fields_of_the_shared_table(case: Case, host: str) -> None:
    notice = dict(id="notice-1", kind="info", target="", title="Title", body="")
    notice[case.field] = case.input(host)
    findings = check_state_file(encode_profile(state_file({"title": "Vestrel"}, notice)), host)
    if case.outcome in KEPT:
        assert findings == []
    else:
        assert findings and all(finding.place.startswith("[notice1]") for finding in findings)


@pytest.mark.parametrize("case", [case for case in CASES if case.field == "value"], ids=str)
def test_values_of_the_shared_table(case: Case) -> None:
    text = case.input(vestrel_tray.WEB_HOST)
    data = encode_profile(state_file({"open": text}, dict(id="n", kind="info", title="T")))
    findings = check_state_file(data, vestrel_tray.WEB_HOST)
    if case.outcome == "keep":
        assert findings == []
    else:
        assert findings and all(finding.place.startswith("[state]") for finding in findings)


def test_what_state_file_writes_reads_as_written(tmp_path: Path) -> None:
    assert check_state_file(GOLDEN.read_bytes(), vestrel_tray.WEB_HOST) == []
    state = StateFile(tmp_path / "state.ini", web_host="example.org")
    state.role = "server"
    state.labels.update(title=" Vestrel ", stopped="'Stopped'", running="\u05e4\u05d5\u05e2\u05dc",
                        update_waiting="x" * 60, open="&Open", stop="", mute="M" * 4094)
    for number in range(1, 51):
        state.add_notice(f"n-{number};[x]", "danger", "T" * 63, "\t" + "B" * 254,
                         target="https://www.example.org/x?y=1#z")
    state.remove_notice("n-7;[x]")
    state.write_stopped()
    assert check_state_file(Path(state.path).read_bytes(), "example.org") == []


STRUCTURE: List[Tuple[str, List[str], List[Tuple[int, str]]]] = [
    ("names ignore letter case; comments and blank lines are no lines", [
        "; written by hand", "[STATE]", "Written_Unix = 0", "PID=4812", "", "NOTICES=1",
        "[Notice1]", "ID=a", "KIND=info", "TITLE=A"], []),
    ("a repeated section and key, a line before any section", [
        "stray=1", "[state]", "pid=4812", "written_unix=0", "PID=1", "label_title=A",
        "[state]", "label_title=B"],
     [(1, ""), (5, "[state] PID"), (7, "[state]")]),
    ("sections the program never reads", [
        "[state]", "pid=4812", "written_unix=0", "notices=2", "[notice1]", "id=a", "kind=info",
        "title=A", "[notice3]", "id=c", "kind=info", "title=C", "[notice01]", "[extra]"],
     [(9, "[notice3]"), (13, "[notice01]"), (14, "[extra]")]),
    ("beyond the fifty notices", [
        "[state]", "pid=4812", "written_unix=0", "notices=75", "[notice51]", "id=x"],
     [(5, "[notice51]")]),
    ("words written otherwise than exactly", [
        "[state]", "pid=4812", "written_unix=0", "status=Running", "role=Server", "rtl=true",
        "label_titel=Vestrel", "no value here"],
     [(4, "[state] status"), (5, "[state] role"), (6, "[state] rtl"), (7, "[state] label_titel"),
      (8, "[state]")]),
    ("integers the program reads otherwise", [
        "[state]", "pid=0", "written_unix=-5", "notices=2x"],
     [(2, "[state] pid"), (3, "[state] written_unix"), (4, "[state] notices")]),
    ("no [state] at all", ["[notice1]", "id=a"], [(0, ""), (1, "[notice1]")]),
    ("no pid, no heartbeat", ["[state]", "status=running"], [(1, "[state]"), (1, "[state]")]),
    ("texts longer than shown", [
        "[state]", "pid=4812", "written_unix=0", f"label_title={'T' * 100}",
        f"label_running={'R' * 27}", "label_stopped=S", "notices=1", "[notice1]", "id=a",
        "kind=info", f"title={'T' * 64}", f"body={'B' * 256}"],
     [(5, "[state] label_running"), (11, "[notice1] title"), (12, "[notice1] body")]),
    ("values cut by the reader", [
        "[state]", "pid=4812", "written_unix=0", f'label_open="{"O" * 4095}"',
        f"label_mute={'M' * 4096}", "label_stop=St\0op"],
     [(4, "[state] label_open"), (5, "[state] label_mute"), (6, "[state] label_stop")]),
    ("notices the program skips", [
        "[state]", "pid=4812", "written_unix=0", "notices=4", "[notice1]", "kind=info",
        "title=No id", "[notice2]", "id=b", "title=No kind", "[notice3]", "id=c", "kind=info",
        "[notice4]", "id=B", "kind=info", "title=Same id", "colour=red"],
     [(5, "[notice1]"), (8, "[notice2]"), (11, "[notice3]"), (15, "[notice4] id"),
      (18, "[notice4] colour")]),
]


@pytest.mark.parametrize("lines, expected", [(lines, expected) for _, lines, expected in STRUCTURE],
                         ids=[name for name, _, _ in STRUCTURE])
def test_what_the_program_would_lose_line_by_line(lines: List[str],
                                                  expected: List[Tuple[int, str]]) -> None:
    findings = check_state_file(utf16(*lines), vestrel_tray.WEB_HOST)
    assert [(finding.line, finding.place) for finding in findings] == expected, findings


@pytest.mark.parametrize("data, problem", [
    (b"[state]\r\npid=4812\r\nwritten_unix=0\r\n", None),
    (b"\xef\xbb\xbf[state]\r\npid=4812\r\nwritten_unix=0\r\n", "UTF-8 with a byte-order mark"),
    ("[state]\r\npid=4812\r\nwritten_unix=0\r\nlabel_title=\u00e9\r\n".encode("utf-8"),
     "no byte-order mark and bytes beyond ASCII"),
    (b"\xfe\xff" + "[state]\r\npid=4812\r\nwritten_unix=0\r\n".encode("utf-16-be"),
     "UTF-16 big-endian"),
])
def test_an_encoding_the_reader_would_not_take_whole(data: bytes, problem: str) -> None:
    findings = check_state_file(data, vestrel_tray.WEB_HOST)
    if problem is None:
        assert findings == []
    else:
        assert [finding.line for finding in findings] == [0]
        assert findings[0].message.startswith(problem)


def configparser_file(path: Path, encoding: str, state: Dict[str, str],
                      notices: List[Dict[str, str]]) -> Path:
    parser = configparser.ConfigParser(interpolation=None)
    parser["state"] = state
    for number, notice in enumerate(notices, start=1):
        parser[f"notice{number}"] = notice
    with open(path, "w", encoding=encoding) as file:
        parser.write(file)
    return path


STATE = {"written_unix": "1767225600", "pid": "4812", "status": "running",
         "label_title": "Vestrel \u2013 \u05e1\u05e4\u05e8\u05d9\u05d9\u05d4",
         "label_running": "Running", "notices": "2"}


def test_a_file_written_by_configparser(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # configparser writes "key = value" and LF line ends, which the reader takes; given UTF-16
    # (Python writes the byte-order mark), the program reads this file whole.
    good = configparser_file(tmp_path / "good.ini", "utf-16", STATE, [
        {"id": "welcome", "kind": "info", "title": "Welcome", "target": "app:news"},
        {"id": "tip-1", "kind": "nudge", "title": "Tip", "body": "Press Ctrl+K."}])
    assert main(["check", str(good)]) == 0
    assert capsys.readouterr().out == f"{good}: the program reads everything as written\n"

    # What such a writer gets wrong: a misspelt key, a text over two lines (configparser
    # continues it on an indented line), an id that differs from another only in letter case,
    # a kind in capitals; and, left in UTF-8, the encoding.
    bad_state = dict(STATE, label_runing="Running")
    del bad_state["label_running"]
    notices = [{"id": "welcome", "kind": "info", "title": "Welcome", "body": "Two lines\nof text"},
               {"id": "Welcome", "kind": "Danger", "title": "Again"}]
    bad = configparser_file(tmp_path / "bad.ini", "utf-16", bad_state, notices)
    assert main(["check", str(bad)]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(": ", 2)[:2] for line in lines] == [
        [f"{bad}:7", "[state] label_runing"],
        [f"{bad}:14", "[notice1]"],
        [f"{bad}:17", "[notice2] id"],
        [f"{bad}:18", "[notice2] kind"]]
    assert "'of text' is no key=value line" in lines[1]
    assert "[notice1] lists 'welcome', which the seen file does not tell apart" in lines[2]

    utf8 = configparser_file(tmp_path / "utf8.ini", "utf-8", STATE, [])
    assert main(["check", str(utf8)]) == 1
    assert capsys.readouterr().out.startswith(f"{utf8}: no byte-order mark and bytes beyond ASCII")


def run_module(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "vestrel_tray", *arguments], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": str(SOURCES),
                                          "PYTHONDONTWRITEBYTECODE": "1"})


def test_the_command_line(tmp_path: Path) -> None:
    path = tmp_path / "state.ini"
    path.write_bytes(utf16("[state]", "pid=4812", "written_unix=0", "rtl=yes"))
    result = run_module("check", str(path))
    assert (result.returncode, result.stdout) == (1, f"{path}:4: [state] rtl: 'yes': the "
                                                  "program tells '1' apart and lays any other "
                                                  "out left to right, written exactly so\n")
    assert "1 finding(s)" in result.stderr

    missing = run_module("check", str(tmp_path / "missing.ini"))
    assert missing.returncode == 2 and "cannot be read" in missing.stderr

    # The source tree carries no program: the command says how to get it.
    exe = run_module("exe")
    assert exe.returncode == 1 and "pass the program's path as exe=" in exe.stderr
    assert run_module().returncode == 2


def test_a_web_host_of_another_build(tmp_path: Path) -> None:
    path = tmp_path / "state.ini"
    path.write_bytes(utf16("[state]", "pid=4812", "written_unix=0", "notices=1", "[notice1]",
                           "id=a", "kind=info", "title=A", "target=https://example.org/x"))
    assert main(["check", str(path), "--web-host", "example.org"]) == 0
    findings = check_state_file(path.read_bytes(), "vestrel.app")
    assert findings == [Finding(9, "[notice1] target", findings[0].message)]
    assert "https://vestrel.app" in findings[0].message
