"""The wheel and the sdist that scripts/package.sh builds: names, tags, version, contents, and a
package that imports from the unpacked wheel and finds its program.

Given by the environment: VESTREL_WHEEL (the wheel) and VESTREL_BUILD_DIR (the build tree whose
program it carries); scripts/test.sh sets both. Without them these tests are skipped.
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path
from typing import Dict

import pytest

from test_build_settings import REPO, cmake_project_version

WHEEL = os.environ.get("VESTREL_WHEEL", "")
BUILD_DIR = os.environ.get("VESTREL_BUILD_DIR", "")
pytestmark = pytest.mark.skipif(
    not (WHEEL and BUILD_DIR),
    reason="set VESTREL_WHEEL and VESTREL_BUILD_DIR (scripts/test.sh does)")

SOURCES = REPO / "python" / "src" / "vestrel_tray"


def cache_value(name: str) -> str:
    text = (Path(BUILD_DIR) / "CMakeCache.txt").read_text(encoding="utf-8")
    match = re.search(rf"^{name}:\w+=(.*)$", text, re.MULTILINE)
    assert match, f"{name} is not in the build's cache"
    return match.group(1)


def headers(text: str) -> Dict[str, str]:
    fields: Dict[str, str] = {}
    for line in text.split("\n\n", 1)[0].splitlines():
        key, value = line.split(": ", 1)
        fields.setdefault(key, value)
    return fields


@pytest.fixture(scope="module")
def wheel() -> zipfile.ZipFile:
    return zipfile.ZipFile(WHEEL)


def test_name_tags_and_version(wheel: zipfile.ZipFile) -> None:
    version = cmake_project_version()
    assert Path(WHEEL).name == f"vestrel_tray-{version}-py3-none-win_amd64.whl"
    info = f"vestrel_tray-{version}.dist-info"
    wheel_fields = headers(wheel.read(f"{info}/WHEEL").decode())
    assert wheel_fields["Tag"] == "py3-none-win_amd64"
    # A program for one platform: the files go to the platform's folder.
    assert wheel_fields["Root-Is-Purelib"] == "false"
    metadata = headers(wheel.read(f"{info}/METADATA").decode())
    assert metadata["Version"] == version
    assert metadata["Requires-Python"] == ">=3.9"


def test_contents(wheel: zipfile.ZipFile) -> None:
    info = f"vestrel_tray-{cmake_project_version()}.dist-info"
    modules = {f"vestrel_tray/{path.name}" for path in SOURCES.glob("*.py")}
    assert set(wheel.namelist()) == modules | {
        "vestrel_tray/py.typed", "vestrel_tray/vestrel-tray.exe", f"{info}/METADATA",
        f"{info}/WHEEL", f"{info}/top_level.txt", f"{info}/RECORD"}
    for name in modules - {"vestrel_tray/_build_config.py"}:
        assert wheel.read(name) == (SOURCES / Path(name).name).read_bytes(), name
    assert wheel.read("vestrel_tray/vestrel-tray.exe") == (
        Path(BUILD_DIR) / "vestrel-tray.exe").read_bytes()
    # Every file as the RECORD lists it, so that pip installs it.
    for line in wheel.read(f"{info}/RECORD").decode().splitlines():
        name, digest, size = line.rsplit(",", 2)
        if name.endswith("RECORD"):
            continue
        data = wheel.read(name)
        expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert (digest, size) == (f"sha256={expected}", str(len(data))), name


def test_the_package_carries_the_builds_version_and_web_host(wheel: zipfile.ZipFile,
                                                             tmp_path: Path) -> None:
    wheel.extractall(tmp_path)
    probe = ("import vestrel_tray as v; "
             "print(v.__version__); print(v.WEB_HOST); print(v.tray_exe())")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                            check=True, cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(tmp_path),
                                                           "PYTHONDONTWRITEBYTECODE": "1"})
    version, host, exe = result.stdout.splitlines()
    assert version == cmake_project_version()
    assert host == cache_value("VESTREL_WEB_HOST")
    assert Path(exe) == tmp_path / "vestrel_tray" / "vestrel-tray.exe"


def sdist_path() -> Path:
    return Path(WHEEL).with_name(f"vestrel_tray-{cmake_project_version()}.tar.gz")


def test_the_sdist_holds_the_python_part_alone() -> None:
    version = cmake_project_version()
    with tarfile.open(sdist_path()) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        member = archive.extractfile(f"vestrel_tray-{version}/PKG-INFO")
        assert member is not None
        assert headers(member.read().decode())["Version"] == version
    assert {f"src/vestrel_tray/{path.name}" for path in SOURCES.glob("*.py")} <= names
    assert {"pyproject.toml", "setup.py", "src/vestrel_tray/py.typed"} <= names
    assert not [name for name in names if name.endswith(".exe")]


def test_the_sdist_has_one_time_no_owner_fixed_modes_and_name_order() -> None:
    data = sdist_path().read_bytes()
    with tarfile.open(sdist_path()) as archive:
        members = archive.getmembers()
    assert [member.name for member in members] == sorted(member.name for member in members)
    assert {member.mtime for member in members} == {int.from_bytes(data[4:8], "little")}
    assert {(member.uid, member.gid, member.uname, member.gname) for member in members} == {
        (0, 0, "", "")}
    assert {(member.isdir(), member.mode) for member in members} == {(True, 0o755),
                                                                     (False, 0o644)}


def test_a_wheel_built_from_the_sdist_is_pure_and_says_how_to_get_the_program(
        tmp_path: Path) -> None:
    version = cmake_project_version()
    with tarfile.open(sdist_path()) as archive:
        archive.extractall(tmp_path)
    subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir",
                    str(tmp_path / "out"), str(tmp_path / f"vestrel_tray-{version}")],
                   check=True, capture_output=True)
    built = list((tmp_path / "out").iterdir())
    assert [path.name for path in built] == [f"vestrel_tray-{version}-py3-none-any.whl"]
    with zipfile.ZipFile(built[0]) as pure:
        fields = headers(pure.read(f"vestrel_tray-{version}.dist-info/WHEEL").decode())
        assert (fields["Tag"], fields["Root-Is-Purelib"]) == ("py3-none-any", "true")
        assert not [name for name in pure.namelist() if name.endswith(".exe")]
        pure.extractall(tmp_path / "installed")
    result = subprocess.run([sys.executable, "-m", "vestrel_tray", "exe"], capture_output=True,
                            text=True, cwd=tmp_path,
                            env={**os.environ, "PYTHONPATH": str(tmp_path / "installed"),
                                 "PYTHONDONTWRITEBYTECODE": "1"})
    assert result.returncode == 1
    assert f"Install vestrel_tray-{version}-py3-none-win_amd64.whl" in result.stderr
