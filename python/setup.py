"""Which wheel the package makes. With the tray program beside its modules
(src/vestrel_tray/vestrel-tray.exe, which scripts/package.sh puts there): a wheel for 64-bit
Windows only, its files for the platform's folder (Root-Is-Purelib: false). Without it, as from
the source archive: a pure wheel for any system (py3-none-any), which carries no program, and
whose tray_exe() says how to get it. Everything else is in pyproject.toml."""

from pathlib import Path
from typing import Tuple

from setuptools import Distribution, setup

try:  # setuptools 70.1 and later carry the command; before, the wheel package does
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel

PROGRAM = Path(__file__).resolve().parent / "src" / "vestrel_tray" / "vestrel-tray.exe"


class PackageWithProgram(Distribution):
    """A built program counts as a compiled part: the files go to the platform's folder."""

    def has_ext_modules(self) -> bool:
        return PROGRAM.is_file()


class Wheel(bdist_wheel):
    def get_tag(self) -> Tuple[str, str, str]:
        if PROGRAM.is_file():
            return ("py3", "none", "win_amd64")  # no interpreter's ABI: only the program's
        tag: Tuple[str, str, str] = super().get_tag()
        return tag


setup(distclass=PackageWithProgram, cmdclass={"bdist_wheel": Wheel})
