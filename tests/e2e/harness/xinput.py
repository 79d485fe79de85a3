"""The pointer and the keyboard of the bench's desktop, through xdotool."""

from __future__ import annotations

import subprocess
from typing import Callable, Mapping

from .screen import TRAY_ICON_CENTER


class Input:
    def __init__(self, env: Callable[[Mapping[str, str] | None], dict[str, str]]):
        self.env = env

    def xdotool(self, *args: str) -> str:
        result = subprocess.run(["xdotool", *args], env=self.env(None), check=True, timeout=30,
                                capture_output=True, text=True)
        return result.stdout

    def move(self, x: int, y: int) -> None:
        self.xdotool("mousemove", str(x), str(y))

    def click(self, x: int, y: int, button: int = 1) -> None:
        self.move(x, y)
        self.xdotool("click", str(button))

    def right_click_tray_icon(self) -> None:
        self.click(*TRAY_ICON_CENTER, button=3)

    def keys(self, *keys: str) -> None:
        self.xdotool("key", "--delay", "80", *keys)
