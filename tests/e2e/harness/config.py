"""Where the bench finds the programs it runs and keeps what it makes, from the command line."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence


@dataclass
class BenchConfig:
    build_dir: Path
    tray_exe: Path
    tools_dir: Path
    sim_exe: Path  # the companion simulator (tools/companion-sim)
    hold_file_exe: Path  # tests/e2e/hold_file.cpp
    dpi: int = 96  # the scale of the bench's display (--dpi); a prefix of its own for each

    @property
    def prefix(self) -> Path:
        return self.build_dir / ("wineprefix-e2e" if self.dpi == 96 else
                                 f"wineprefix-e2e-{self.dpi}dpi")

    @property
    def artifacts(self) -> Path:
        return self.build_dir / "e2e-artifacts"

    @property
    def work_root(self) -> Path:
        return self.build_dir / "e2e-work"

    def tool(self, name: str) -> Path:
        return self.tools_dir / f"{name}.exe"


def parse_config(argv: Sequence[str]) -> tuple[BenchConfig, list[str]]:
    """The bench's options (only --build-dir is required); the rest goes to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--tray-exe", type=Path)
    parser.add_argument("--tools-dir", type=Path)
    parser.add_argument("--sim-exe", type=Path)
    parser.add_argument("--hold-file", type=Path)
    parser.add_argument("--dpi", type=int, default=96)
    known, rest = parser.parse_known_args(argv)
    build = known.build_dir.resolve()
    config = BenchConfig(
        build_dir=build,
        tray_exe=(known.tray_exe or build / "vestrel-tray.exe").resolve(),
        tools_dir=(known.tools_dir or build / "tests" / "tools").resolve(),
        sim_exe=(known.sim_exe or build / "tools" / "companion-sim" / "companion-sim.exe")
        .resolve(),
        hold_file_exe=(known.hold_file or build / "tests" / "e2e" / "hold-file.exe").resolve(),
        dpi=known.dpi,
    )
    return config, rest
