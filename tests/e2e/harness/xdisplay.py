"""The private X server (Xvfb) that the bench's desktop is drawn on, and its input focus."""

from __future__ import annotations

import ctypes
import os
import random
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

from .programs import die_with_parent
from .screen import DESKTOP_SIZE


class XDisplay:
    """An Xvfb of the desktop's size on a free display number; ended with the bench."""

    def __init__(self, log: Path):
        self.log = log
        self.name: str | None = None
        self._xvfb: subprocess.Popen | None = None

    def start(self) -> None:
        # Numbers far from the low ones that other tools reach for, tried in random order so
        # that two benches starting at once rarely want the same one.
        for number in random.sample(range(300, 1000), 60):
            marks = (f"/tmp/.X{number}-lock", f"/tmp/.X11-unix/X{number}")
            if any(Path(mark).exists() for mark in marks):
                continue
            read_end, write_end = os.pipe()
            width, height = DESKTOP_SIZE
            # In a session of its own, so that it outlives the programs drawn on it until
            # stop(); asked to end (SIGTERM) when this process dies (see stop()).
            with open(self.log, "ab") as log:
                xvfb = subprocess.Popen(
                    ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
                     f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                    pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    start_new_session=True,
                    preexec_fn=lambda: die_with_parent(signal.SIGTERM))
            os.close(write_end)
            reported = self._read_display_number(read_end)
            if reported:
                self._xvfb = xvfb
                self.name = f":{reported}"
                return
            # Taken after all (another server won the race), or broken: try the next one.
            xvfb.kill()
            xvfb.wait()
        raise RuntimeError("no free X display for Xvfb")

    def ensure_running(self) -> None:
        if self._xvfb is not None and self._xvfb.poll() is None:
            return
        if self._xvfb is not None:
            print(f"Xvfb on {self.name} had ended ({self._xvfb.returncode}); starting another",
                  file=sys.stderr)
        self.start()

    @staticmethod
    def _read_display_number(read_end: int, timeout: float = 30.0) -> str:
        # Xvfb writes the number and the line end in two writes and dies if the second one
        # fails, so read up to the line end before letting go of the pipe.
        data = b""
        deadline = time.monotonic() + timeout
        try:
            while not data.endswith(b"\n"):
                left = max(0.0, deadline - time.monotonic())
                ready, _, _ = select.select([read_end], [], [], left)
                chunk = os.read(read_end, 64) if ready else b""
                if not chunk:
                    return ""
                data += chunk
        finally:
            os.close(read_end)
        return data.decode().strip()

    def stop(self) -> None:
        if self._xvfb is None:
            return
        # Asked to end, Xvfb removes its socket and lock; killed, it would leave them behind.
        self._xvfb.terminate()
        try:
            self._xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._xvfb.kill()
            self._xvfb.wait()
        self._xvfb = None

    def reset_focus(self) -> None:
        """Gives the X input focus to whatever window is under the pointer. There is no window
        manager: when the Wine window that held the focus goes away with its wineserver, the
        focus falls to None and the server drops every key from then on."""
        if self.name is None:
            raise RuntimeError("no X display yet")
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                       ctypes.c_ulong]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.name.encode())
        if not display:
            raise RuntimeError(f"cannot open X display {self.name}")
        pointer_root = revert_to_pointer_root = 1
        x11.XSetInputFocus(display, pointer_root, revert_to_pointer_root, 0)  # 0: CurrentTime
        x11.XCloseDisplay(display)  # flushes the request
