"""StateFile: the bytes it writes, how it replaces the file, the sections of notices, and what it
refuses or warns about."""

from __future__ import annotations

import dataclasses
import logging
import os
import re
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, List, Type

import pytest

import vestrel_tray
from vestrel_tray import ContractError, LabelName, Notice, StateFile

GOLDEN = Path(__file__).parent / "golden" / "state.ini"
NOON = 1767225600


def read_sections(path: Path) -> Dict[str, Dict[str, str]]:
    """The file's sections and values as the profile reader takes them: blanks around a value
    dropped, then one pair of enclosing quotes."""
    data = path.read_bytes()
    assert data[:2] == b"\xff\xfe"
    text = data[2:].decode("utf-16-le", "surrogatepass")
    assert text.endswith("\r\n") and "\n" not in text.replace("\r\n", "")
    sections: Dict[str, Dict[str, str]] = {}
    current: Dict[str, str] = {}
    for line in text.split("\r\n")[:-1]:
        if line.startswith("["):
            current = sections.setdefault(line[1:line.index("]")], {})
            continue
        key, value = line.split("=", 1)
        value = value.strip(" \t\x0b\x0c\x1a")
        if len(value) > 1 and value[0] in "\"'" and value[-1] == value[0]:
            value = value[1:-1]
        current[key] = value
    return sections


@pytest.fixture
def state(tmp_path: Path) -> StateFile:
    return StateFile(tmp_path / "state.ini")


@pytest.fixture
def at_noon(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(time, "time", lambda: NOON + 0.75)


def test_writes_the_bytes_the_tray_reads(state: StateFile, at_noon: None) -> None:
    state.pid = 4812
    state.status = "update_waiting"
    state.role = "server"
    state.rtl = True
    state.labels.update(title="Vestrel – ספרייה", stopped="Stopped", running="פועל",
                        update_waiting="Update ready 🎁", mute="Mute tips")
    state.add_notice("update-2.4.0-ready", "info", "Update ready", "Version 2.4.0 is ready.",
                     "app:updates")
    state.add_notice("sync-failed", "danger", "Sync stopped", target="https://vestrel.app/help")
    state.add_notice("tip.shortcuts.1", "nudge", '"Tip"', " Press Ctrl+K.")
    state.remove_notice("sync-failed")
    state.write()
    assert Path(state.path).read_bytes() == GOLDEN.read_bytes()

    state.write_stopped()
    stopped = read_sections(Path(state.path))
    assert stopped["state"]["written_unix"] == "0"
    golden = read_sections(GOLDEN)
    golden["state"]["written_unix"] = "0"
    assert stopped == golden


def test_a_reader_never_sees_a_partial_file(state: StateFile) -> None:
    """A reader thread reads the file thousands of times while hundreds of writes replace it;
    each write lists another number of notices, so the file changes size every time."""
    path = Path(state.path)
    state.labels.update(title="Vestrel", running="Running")
    state.write()
    reads_wanted, writes_wanted = 3000, 300
    writes = 0
    reads = 0
    failures: List[str] = []
    writer_done = threading.Event()

    def read() -> None:
        nonlocal reads
        while not writer_done.is_set() or reads < reads_wanted:
            try:
                sections = read_sections(path)
                count = int(sections["state"]["notices"])
                assert len(sections) == count + 1, f"{count} notices listed, sections {sections}"
                assert sections["state"]["label_title"] == "Vestrel"
            except Exception as error:  # reported below with the failing read's number
                failures.append(f"read {reads}: {error!r}")
                return
            reads += 1

    reader = threading.Thread(target=read)
    reader.start()
    try:
        while writes < writes_wanted or (reads < reads_wanted and reader.is_alive()):
            for notice in state.notices:
                state.remove_notice(notice.id)
            for number in range(writes % 7):
                state.add_notice(f"w{writes}-{number}", "info", "Title " * (writes % 5 + 1))
            state.write()
            writes += 1
    finally:
        writer_done.set()
        reader.join()
    assert not failures, failures[:3]
    assert reads >= reads_wanted and writes >= writes_wanted
    assert sorted(os.listdir(path.parent)) == ["state.ini"], "temporary files left behind"


def test_replace_is_retried_while_a_reader_holds_the_file(
        state: StateFile, monkeypatch: pytest.MonkeyPatch,
        caplog: pytest.LogCaptureFixture) -> None:
    real_replace = os.replace
    refusals = {"left": 3}

    def replace(source: str, target: str) -> None:
        if refusals["left"]:
            refusals["left"] -= 1
            raise PermissionError(13, "Access is denied", target)
        real_replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    caplog.set_level(logging.INFO, logger="vestrel_tray")
    state.labels["title"] = "First"
    state.write()
    assert refusals["left"] == 0
    assert read_sections(Path(state.path))["state"]["label_title"] == "First"
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", f"replaced {state.path} at attempt 4 of 40: a reader held it before")]

    # Refused for good: the error comes out and is logged, the old file stays, no temporary
    # file is left.
    caplog.clear()
    refusals["left"] = 10**6
    state.labels["title"] = "Second"
    with pytest.raises(PermissionError):
        state.write()
    assert read_sections(Path(state.path))["state"]["label_title"] == "First"
    assert os.listdir(Path(state.path).parent) == ["state.ini"]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("ERROR", f"could not write the state file {state.path}: [Errno 13] Access is denied: "
                  f"{state.path!r}")]


def test_a_notice_keeps_its_section_while_listed(state: StateFile) -> None:
    def sections() -> Dict[str, int]:
        return {notice.id: notice.section for notice in state.notices}

    for name in ("a", "b", "c"):
        state.add_notice(name, "info", name.upper())
    state.remove_notice("b")
    assert sections() == {"a": 1, "c": 3}
    state.add_notice("d", "danger", "D")
    state.add_notice("e", "nudge", "E")
    assert sections() == {"a": 1, "d": 2, "c": 3, "e": 4}
    state.remove_notice("e")
    state.remove_notice("c")
    state.write()
    written = read_sections(Path(state.path))
    assert written["state"]["notices"] == "2"
    assert {name: values["id"] for name, values in written.items() if name != "state"} == {
        "notice1": "a", "notice2": "d"}
    with pytest.raises(KeyError):
        state.remove_notice("c")
    state.remove_notice("a")
    state.remove_notice("d")
    state.write()
    assert read_sections(Path(state.path)) == {"state": read_sections(Path(state.path))["state"]}
    assert read_sections(Path(state.path))["state"]["notices"] == "0"


def test_at_most_fifty_notices_are_listed(state: StateFile) -> None:
    for number in range(1, 51):
        state.add_notice(f"n{number}", "info", "T")
    with pytest.raises(ContractError, match="50 notices"):
        state.add_notice("n51", "info", "T")
    state.remove_notice("n17")
    assert state.add_notice("n51", "info", "T").section == 17
    state.write()
    assert read_sections(Path(state.path))["state"]["notices"] == "50"


@pytest.mark.parametrize("listed, new", [
    ("Tip-1", "tip-1"), ("K-\u212a", "k-k"), ("stra\u00dfe", "STRA\u1e9eE"), ("\u0131d", "Id"),
    ("\u00c4rger", "\u00e4rger")])
def test_ids_that_differ_only_in_letter_case_are_one_id(state: StateFile, listed: str,
                                                        new: str) -> None:
    state.add_notice(listed, "info", "Listed")
    message = (f"notice id {new!r}: {listed!r} is listed already (in [notice1]) and differs "
               "only in letter case, which the seen file does not tell apart")
    with pytest.raises(ContractError, match=f"^{re.escape(message)}$"):
        state.add_notice(new, "info", "New")
    # Removing follows the same rule: either spelling takes the listed notice off.
    assert state.remove_notice(new).id == listed
    assert state.notices == ()
    state.add_notice(new, "info", "New")
    assert state.remove_notice(listed).id == new


def test_an_exact_duplicate_is_named_so(state: StateFile) -> None:
    state.add_notice("other", "info", "Other")
    state.add_notice("tip-1", "info", "Listed")
    message = ("notice id 'tip-1' is listed already (in [notice2]); the tray shows an id once, "
               "so a new message needs a new id")
    with pytest.raises(ContractError, match=f"^{re.escape(message)}$"):
        state.add_notice("tip-1", "info", "New")
    assert [notice.title for notice in state.notices] == ["Other", "Listed"]


def test_notices_can_be_listed_and_cleared(state: StateFile) -> None:
    first = state.add_notice("a", "info", "A")
    state.add_notice("b", "danger", "B", target="app:news")
    listed = state.notices
    assert listed == (first, Notice("b", "danger", "B", "", "app:news", 2))
    with pytest.raises(dataclasses.FrozenInstanceError):
        listed[0].title = "changed"  # type: ignore[misc]
    state.clear_notices()
    assert state.notices == () and len(listed) == 2
    with pytest.raises(KeyError, match="no notice with id 'a'"):
        state.remove_notice("a")
    assert state.add_notice("c", "nudge", "C").section == 1
    state.write()
    assert read_sections(Path(state.path))["state"]["notices"] == "1"


def test_ids_that_differ_beyond_letter_case_are_two(state: StateFile) -> None:
    for notice_id in ("strasse", "stra\u00dfe", "tip-1", "tip-l", "\U00010400", "\U00010428"):
        state.add_notice(notice_id, "info", "T")
    assert len(state.notices) == 6


def test_an_id_is_checked_as_the_tray_reads_it(state: StateFile) -> None:
    # The tray reads the first 4095 code units of a value: this id ends in a blank there.
    with pytest.raises(ContractError, match="blank"):
        state.add_notice("k" * 4094 + " tail", "info", "T")
    with pytest.warns(UserWarning, match="only the first 4095"):
        state.add_notice("k" * 5000, "info", "T")
    # Written between quotes, an id of exactly 4095 loses its last code unit to Wine's reader.
    with pytest.warns(UserWarning, match="only the first 4094"):
        state.add_notice("'" + "q" * 4093 + "'", "info", "T")
    with pytest.raises(ContractError, match="blank"):
        state.add_notice("'" + "q" * 4092 + " '", "info", "T")
    with pytest.raises(ContractError, match="letter case"):
        state.add_notice("K" * 4095 + "other", "info", "T")


@pytest.mark.parametrize("arguments, message", [
    (dict(id="n", kind="info", title=""), "without a title"),
    (dict(id="n", kind="info", title="a\r\nb"), "carriage return"),
    (dict(id="n", kind="info", title="T", body="line\nline"), "line feed"),
    (dict(id="n", kind="info", title="T", body="a\0b"), "NUL"),
    (dict(id="n", kind="info", title="T", target="app:news\n"), "line feed"),
])
def test_refuses_notices_the_tray_would_skip(state: StateFile, arguments: Dict[str, Any],
                                             message: str) -> None:
    with pytest.raises(ContractError, match=message):
        state.add_notice(**arguments)
    assert state.notices == ()


def test_refuses_state_values_the_tray_does_not_know(state: StateFile) -> None:
    # Values of the wrong words: a type checker refuses them too (test_typing.py).
    with pytest.raises(ContractError):
        state.status = "stopped"  # type: ignore[assignment]
    with pytest.raises(ContractError):
        state.role = "client"  # type: ignore[assignment]
    with pytest.raises(ContractError):
        state.pid = 0
    with pytest.raises(ContractError):
        state.pid = 2**32
    with pytest.raises(TypeError):
        state.rtl = 1  # type: ignore[assignment]
    state.write()
    assert read_sections(Path(state.path))["state"]["status"] == "running"


@pytest.mark.parametrize("change, error, message", [
    (lambda labels: labels.__setitem__("titel", "Vestrel"), ContractError, "label 'titel'"),
    (lambda labels: labels.update(titel="Vestrel"), TypeError, "titel"),
    (lambda labels: labels.update({"titel": "Vestrel"}), ContractError, "label 'titel'"),
    (lambda labels: labels.update(running="Running\r\n"), ContractError, "label 'running'"),
    (lambda labels: labels.__setitem__("open", 3), TypeError, "label 'open' must be a str"),
    (lambda labels: labels.__delitem__("titel"), ContractError, "label 'titel'"),
])
def test_a_label_the_tray_would_not_read_fails_at_once(
        state: StateFile, change: Callable[[Any], None], error: Type[Exception],
        message: str) -> None:
    state.labels.update(title="Vestrel", running="Running")
    with pytest.raises(error, match=message):
        change(state.labels)
    # Nothing of a refused change is kept: a later write has the labels as they were.
    assert dict(state.labels) == {"title": "Vestrel", "running": "Running"}
    state.write()
    written = read_sections(Path(state.path))["state"]
    assert {key: value for key, value in written.items() if key.startswith("label_")} == {
        "label_title": "Vestrel", "label_running": "Running"}


def test_labels_are_set_deleted_and_written_in_order(state: StateFile) -> None:
    state.labels["mute"] = "Mute tips"
    state.labels.update({"open": "Open"}, title="Vestrel", stop="")
    assert list(state.labels) == ["title", "open", "stop", "mute"]
    del state.labels["open"]
    assert "open" not in state.labels and state.labels.get("open") is None
    state.write()
    written = [key for key in read_sections(Path(state.path))["state"] if key.startswith("l")]
    assert written == ["label_title", "label_stop", "label_mute"]
    state.labels.clear()
    assert len(state.labels) == 0


def test_pid_defaults_to_this_process_and_the_folder_is_made(tmp_path: Path) -> None:
    state = StateFile(tmp_path / "Vestrel" / "tray" / "state.ini")
    state.write()
    assert read_sections(Path(state.path))["state"]["pid"] == str(os.getpid())
    state.pid = 2**32 - 1
    state.write()
    assert read_sections(Path(state.path))["state"]["pid"] == str(2**32 - 1)


def warning_texts(record: List[warnings.WarningMessage]) -> List[str]:
    return [str(warning.message) for warning in record]


@pytest.mark.parametrize("title, body, warned", [
    ("T" * 63, "B" * 255, []),
    ("T" * 64, "B" * 255, ["title is 64"]),
    ("T" * 62 + "\U0001f381", "B", ["title is 64"]),
    ("T", "B" * 253 + "\U0001f381", []),
    ("T", "B" * 254 + "\U0001f381", ["body is 256"]),
])
def test_warns_of_balloon_texts_longer_than_shown(state: StateFile, title: str, body: str,
                                                  warned: List[str]) -> None:
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        state.add_notice("n", "info", title, body)
    assert len(record) == len(warned), warning_texts(record)
    for text, expected in zip(warning_texts(record), warned):
        assert expected in text
    assert record == [] or all(warning.filename == __file__ for warning in record)


@pytest.mark.parametrize("labels, warned", [
    ({"title": "T" * 60, "running": "R" * 66, "update_waiting": "U" * 66}, []),
    ({"title": "T" * 60, "running": "R" * 67}, ["'running'"]),
    ({"title": "", "stopped": "S" * 127}, []),
    ({"stopped": "S" * 128}, ["'stopped'"]),
    ({"title": "T" * 128}, ["'stopped'", "'running'", "'update_waiting'"]),
    ({"title": "T" * 62 + "\U0001f381", "update_waiting": "U" * 62}, []),
    ({"title": "T" * 62 + "\U0001f381", "update_waiting": "U" * 63}, ["'update_waiting'"]),
    ({"open": "O" * 4095, "stop": " " + "S" * 4094, "mute": "M" * 4096},
     ["label 'stop'", "label 'mute'"]),
])
def test_warns_of_a_tooltip_longer_than_shown(state: StateFile, labels: Dict[LabelName, str],
                                              warned: List[str],
                                              caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.WARNING, logger="vestrel_tray")
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        state.labels.update(labels)
    assert len(record) == len(warned), warning_texts(record)
    for text, expected in zip(warning_texts(record), warned):
        assert expected in text
    assert all(warning.filename == __file__ for warning in record)
    # Each is logged too, and reported once: a write, or setting the same text again, is silent.
    assert [r.getMessage() for r in caplog.records] == warning_texts(record)
    with warnings.catch_warnings(record=True) as again:
        warnings.simplefilter("always")
        state.labels.update(labels)
        state.write()
    assert again == []


def test_the_web_host_can_be_set_for_a_state_file(tmp_path: Path) -> None:
    state = StateFile(tmp_path / "state.ini", web_host="example.org")
    state.add_notice("a", "info", "A", target="https://www.example.org/x")
    with pytest.raises(ContractError, match="example.org"):
        state.add_notice("b", "info", "B", target=f"https://{vestrel_tray.WEB_HOST}/x")



@pytest.mark.parametrize("host, message", [
    ("", "empty"), ("https://example.org", "the host alone"), ("example.org/", "the host alone"),
    ("example.org:8443", "letters, digits"), ("exa mple.org", "letters, digits"),
    ("example..org", "letters, digits"), ("-example.org", "letters, digits")])
def test_a_web_host_is_a_host_name(tmp_path: Path, host: str, message: str) -> None:
    with pytest.raises(ContractError, match=f"web host {re.escape(repr(host))}: .*{message}"):
        StateFile(tmp_path / "state.ini", web_host=host)
