"""What a Windows process under Wine holds and has used, as Wine and Linux report it: its
handles and memory (the soak's counters, the benchmark's unique bytes) and its processor time.

Wine 8 reports 0 for every process as its handle count (GetProcessHandleCount) and its private
bytes (PrivateUsage in GetProcessMemoryInfo), measured: the handles are counted in the system's
handle table instead (traytool stats), and the memory that is the process's own is read from
Linux, which runs each Windows process as one process of its own."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Callable


@dataclass
class Footprint:
    handles: int          # rows of the process in the system's handle table (wineserver)
    anonymous_bytes: int  # Wine's PagefileUsage: resident anonymous memory plus swap
    data_bytes: int       # Linux VmData: private writable address space (committed memory)
    descriptors: int      # Linux file descriptors of the process

    def describe(self) -> str:
        return (f"handles={self.handles} anonymous={self.anonymous_bytes // 1024} KiB "
                f"data={self.data_bytes // 1024} KiB fds={self.descriptors}")


def private_memory(unix_pid: int) -> tuple[int, int]:
    """Resident anonymous memory plus swap, and VmData, in bytes: read from Linux without
    disturbing the program, so that it can be sampled after every burst."""
    values = {}
    for line in Path(f"/proc/{unix_pid}/status").read_text().splitlines():
        name, _, rest = line.partition(":")
        if name in ("RssAnon", "VmSwap", "VmData"):
            values[name] = int(rest.split()[0]) * 1024
    return values["RssAnon"] + values.get("VmSwap", 0), values["VmData"]


def footprint(stats: Callable[[int], dict[str, str]], windows_pid: int,
              unix_pid: int) -> Footprint:
    counters = stats(windows_pid)
    return Footprint(handles=int(counters["system_handles"]),
                     anonymous_bytes=int(counters["pagefile_bytes"]),
                     data_bytes=private_memory(unix_pid)[1],
                     descriptors=len(os.listdir(f"/proc/{unix_pid}/fd")))


def processor_seconds(unix_pid: int | None) -> float:
    """User and system time a live Linux process (a Windows process under Wine) has taken."""
    if unix_pid is None:
        return float("nan")
    try:
        stat = Path(f"/proc/{unix_pid}/stat").read_text()
    except OSError:
        return float("nan")
    user, system = stat.rsplit(")", 1)[1].split()[11:13]
    return (int(user) + int(system)) / os.sysconf("SC_CLK_TCK")


def unique_bytes(unix_pid: int) -> int:
    """The memory that belongs to the process alone: its private resident pages (the private
    bytes that Wine does not report)."""
    total = 0
    for line in Path(f"/proc/{unix_pid}/smaps_rollup").read_text().splitlines():
        name, _, rest = line.partition(":")
        if name in ("Private_Clean", "Private_Dirty"):
            total += int(rest.split()[0]) * 1024
    return total
