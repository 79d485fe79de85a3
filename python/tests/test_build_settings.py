"""One version and one web host for the program and the package: the source tree's defaults are
those of CMakeLists.txt, which a build generates into the package."""

from __future__ import annotations

import re
from pathlib import Path

from vestrel_tray import _build_config

REPO = Path(__file__).resolve().parents[2]


def cmake_project_version() -> str:
    text = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"^project\(\s*VestrelTray\s+VERSION\s+([0-9.]+)", text, re.MULTILINE)
    assert match, "no project(VestrelTray VERSION ...) in CMakeLists.txt"
    return match.group(1)


def cmake_web_host_default() -> str:
    text = (REPO / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r'^set\(VESTREL_WEB_HOST\s+"([^"]*)"\s+CACHE\s+STRING', text, re.MULTILINE)
    assert match, "no cache variable VESTREL_WEB_HOST in CMakeLists.txt"
    return match.group(1)


def test_source_defaults_are_the_builds_defaults() -> None:
    assert _build_config.VERSION == cmake_project_version()
    assert _build_config.WEB_HOST == cmake_web_host_default()


def test_the_build_fills_in_both_from_cmake() -> None:
    template = (REPO / "python" / "build_config.py.in").read_text(encoding="utf-8")
    assert 'VERSION = "@PROJECT_VERSION@"' in template.splitlines()
    assert 'WEB_HOST = "@VESTREL_WEB_HOST@"' in template.splitlines()
