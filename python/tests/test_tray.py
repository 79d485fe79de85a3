"""Starting the tray (its command line) and the launcher's side (--screen), on this machine.
test_tray_windows.py runs the Windows side with the Windows calls replaced."""

from __future__ import annotations

from pathlib import Path
from typing import Dict, List, Optional

import pytest

from vestrel_tray import ContractError, screen_from_argv, tray_command, tray_exe

PATHS: Dict[str, str] = dict(state="state.ini", seen="memory/seen.ini", pythonw="py/pythonw.exe",
                             launcher="app/launch.py")


def test_command_has_the_program_and_five_options_with_absolute_paths(
        tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    exe = tmp_path / "vestrel-tray.exe"
    command = tray_command(mutex="Local\\VestrelTray", exe=exe, **PATHS)
    assert command == [str(exe), "--mutex", "Local\\VestrelTray",
                       "--state", str(tmp_path / "state.ini"),
                       "--seen", str(tmp_path / "memory" / "seen.ini"),
                       "--pythonw", str(tmp_path / "py" / "pythonw.exe"),
                       "--launcher", str(tmp_path / "app" / "launch.py")]


@pytest.mark.parametrize("changes, message", [
    (dict(mutex=""), "empty"),
    (dict(state=""), "empty"),
    (dict(launcher=""), "empty"),
    (dict(mutex="vestrel\\tray"), "backslash"),
    (dict(mutex="Local\\vestrel\\tray"), "backslash"),
    (dict(mutex="Session\\1\\tray"), "backslash"),
    (dict(pythonw='py/"pythonw.exe'), "double quotes"),
    (dict(launcher='app/"launch.py'), "double quotes"),
    (dict(launcher="C:\\app\\"), "backslash before the closing quote"),
])
def test_command_refuses_what_the_tray_cannot_use(changes: Dict[str, str], message: str) -> None:
    arguments = dict(PATHS, mutex="Local\\VestrelTray", exe="tray.exe")
    arguments.update(changes)
    with pytest.raises(ContractError, match=message):
        tray_command(**arguments)


def test_global_and_local_mutex_names_pass() -> None:
    for mutex in ("VestrelTray", "Local\\VestrelTray", "Global\\VestrelTray"):
        assert tray_command(mutex=mutex, exe="tray.exe", **PATHS)[2] == mutex


def test_the_source_tree_carries_no_program() -> None:
    # The program comes with the wheel (test_wheel.py looks at one).
    with pytest.raises(FileNotFoundError, match="carries no tray program. Install vestrel_tray-"
                       ".*-py3-none-win_amd64.whl.* or pass the program's path as exe= to "
                       "tray_command and start_tray$"):
        tray_exe()
    with pytest.raises(FileNotFoundError):
        tray_command(mutex="VestrelTray", **PATHS)


@pytest.mark.parametrize("argv, screen", [
    # What the launcher's sys.argv holds when the tray starts it as
    # "pythonw.exe" -I "C:\App\launch.py" [--screen NAME]
    (["C:\\App\\launch.py"], None),
    (["C:\\App\\launch.py", "--screen", "updates"], "updates"),
    (["C:\\App\\launch.py", "--screen", "stop"], "stop"),
    (["C:\\App\\launch.py", "--screen", "abcdefghijklmnopqrstuvwxyzabcdef"],
     "abcdefghijklmnopqrstuvwxyzabcdef"),
    # Started by other means.
    (["launch.py", "--verbose", "--screen", "news"], "news"),
    (["launch.py", "--screen"], None),
    (["launch.py", "--screen=news"], None),
    (["--screen", "news"], None),
    ([], None),
])
def test_screen_from_argv(argv: List[str], screen: Optional[str]) -> None:
    assert screen_from_argv(argv) == screen


def test_screen_from_argv_reads_sys_argv(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr("sys.argv", ["launch.py", "--screen", "stop"])
    assert screen_from_argv() == "stop"
