"""The types catch the typos where they are written: mypy --strict refuses a kind, a status, a
role or a label name the tray does not know, and passes the same lines written right.

Needs mypy for this interpreter (Debian's package mypy; scripts/setup-debian.sh installs it).
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

SOURCES = Path(__file__).resolve().parents[1] / "src"

SETUP = '''from vestrel_tray import Heartbeat, StateFile
state = StateFile("state.ini")
'''
RIGHT = SETUP + '''state.add_notice("a", "danger", "A", target="app:news")
state.labels.update(title="Vestrel", running="Running")
state.labels["update_waiting"] = "Update ready"
state.status = "update_waiting"
state.role = "server"
Heartbeat(state, on_error=lambda error: print(error))
'''
# Each a line after SETUP that mypy must refuse, and the error code it must give.
WRONG: Dict[str, Tuple[str, str]] = {
    "kind": ('state.add_notice("a", "Danger", "A")', "arg-type"),
    "label_by_index": ('state.labels["titel"] = "Vestrel"', "index"),
    "label_by_keyword": ('state.labels.update(titel="Vestrel")', "call-arg"),
    "status": ('state.status = "Update_waiting"', "assignment"),
    "role": ('state.role = "client"', "assignment"),
    "on_error": ('Heartbeat(state, on_error="log")', "arg-type"),
}


def test_mypy_refuses_the_typos_and_passes_the_right_lines(tmp_path: Path) -> None:
    try:
        from mypy import api
    except ImportError:
        pytest.fail("mypy is missing: install Debian's mypy (scripts/setup-debian.sh)")
    (tmp_path / "right.py").write_text(RIGHT, encoding="utf-8")
    for name, (line, _) in WRONG.items():
        (tmp_path / f"wrong_{name}.py").write_text(SETUP + line + "\n", encoding="utf-8")
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nstrict = True\npython_version = 3.9\nmypy_path = {SOURCES}\n",
                      encoding="utf-8")
    stdout, stderr, _ = api.run(["--config-file", str(config), "--cache-dir",
                                 str(tmp_path / "cache"), "--show-error-codes",
                                 "--no-error-summary", *sorted(map(str, tmp_path.glob("*.py")))])
    assert stderr == ""
    errors: List[Tuple[str, int, str]] = []
    for message in stdout.splitlines():
        if ": note: " in message:
            continue
        match = re.match(r"(.*?):(\d+): error: .*\[([a-z-]+)\]$", message)
        assert match, f"not an error line of mypy: {message}"
        errors.append((Path(match.group(1)).stem, int(match.group(2)), match.group(3)))
    wrong_line = SETUP.count("\n") + 1
    assert sorted(errors) == sorted((f"wrong_{name}", wrong_line, code)
                                    for name, (_, code) in WRONG.items()), stdout
