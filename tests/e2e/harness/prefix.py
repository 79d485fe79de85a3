"""The bench's Wine prefix: its environment, its wineserver and its registry."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path, PurePosixPath
from typing import Callable, Mapping

from .programs import WINE_LOADER_CRASH_TEXT, WINE_LOADER_EXIT_CRASH, die_with_parent
from .screen import DESKTOP_SIZE

READY_MARK = ".vestrel-e2e-ready"


def windows_path(path: os.PathLike | str) -> str:
    """The path under which a Windows program in the prefix sees a Linux file (drive Z:)."""
    absolute = PurePosixPath(os.path.abspath(path))
    return "Z:" + str(absolute).replace("/", "\\")


class WinePrefix:
    """A prefix of the bench's own (made once, with the default virtual desktop switched on) and
    a persistent wineserver for it, tied to this process's life. The server's own messages go to
    server_log: a client that the server ends (exit status 1 and nothing on its own stderr) is
    explained there."""

    def __init__(self, path: Path, server_log: Path):
        self.path = path
        self.server_log = server_log
        self.display: str | None = None
        self._server: subprocess.Popen | None = None

    def env(self, extra: Mapping[str, str] | None = None) -> dict[str, str]:
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all")
        # Measured: overriding winemenubuilder.exe here keeps the desktop from starting at all.
        for name in ("WINEARCH", "WINEDLLOVERRIDES"):
            env.pop(name, None)
        if self.display is not None:
            env["DISPLAY"] = self.display
        env.update(extra or {})
        return env

    def ensure(self, setup: Callable[[dict[str, str]], None] | None = None) -> None:
        """Makes the prefix unless it is ready: every program then runs in a desktop of the
        bench's size with a taskbar and a notification area. setup, if given, adds to a new
        prefix."""
        if (self.path / READY_MARK).exists():
            return
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        env = self.env()
        env.pop("DISPLAY", None)
        # No offers to install Mono or Gecko while the prefix is made.
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180, check=False)
        for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                 ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default",
                                  f"{DESKTOP_SIZE[0]}x{DESKTOP_SIZE[1]}")):
            subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                           check=True)
        if setup is not None:
            setup(env)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120, check=False)
        (self.path / READY_MARK).write_text("ready\n")

    def start_server(self) -> None:
        # A server left behind by an earlier run that was killed would hold the prefix.
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=30, check=False)
        # In the foreground, so that it can be tied to this process's life.
        with open(self.server_log, "ab") as log:
            self._server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                            stdout=log, stderr=log, preexec_fn=die_with_parent)

    def stop_server(self) -> None:
        """Ends the wineserver and with it every Windows process of the prefix."""
        if self._server is None:
            return
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        try:
            self._server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self._server.kill()
            self._server.wait()
        self._server = None

    @property
    def server_pid(self) -> int | None:
        return None if self._server is None else self._server.pid

    def server_messages(self, since: int = 0) -> str:
        """What the wineserver wrote from byte `since` of its log on."""
        if not self.server_log.exists():
            return ""
        with open(self.server_log, "rb") as log:
            log.seek(since)
            return log.read().decode(errors="replace")

    def server_log_size(self) -> int:
        return self.server_log.stat().st_size if self.server_log.exists() else 0


class Registry:
    """Values of the prefix's registry, through Wine's reg.exe. A change is made once and then
    read back; only reading is ever repeated (when Wine's loader crashed before reg.exe could
    answer)."""

    def __init__(self, prefix: WinePrefix):
        self.prefix = prefix

    def _reg(self, *args: str) -> subprocess.CompletedProcess:
        # Output through files, not pipes: reg may be the first program of a fresh wineserver,
        # whose services inherit its output handles and would hold a pipe open for good.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["wine", "reg", *args], env=self.prefix.env(),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    timeout=120, check=False)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(result.args, result.returncode,
                                               out.read().decode(errors="replace"),
                                               err.read().decode(errors="replace"))

    def query(self, key: str, name: str | None) -> str | None:
        """The data of a value (name None: the key's default value), or None if there is none."""
        for _ in range(2):
            result = self._reg("query", key, *(["/v", name] if name is not None else ["/ve"]))
            crashed = (result.returncode == WINE_LOADER_EXIT_CRASH
                       and WINE_LOADER_CRASH_TEXT in result.stderr)
            if not crashed:
                break
        # "    <name>    <type>    <data>", four blanks apart; the default value's name is
        # "(Default)".
        wanted = "(default)" if name is None else name.lower()
        for line in result.stdout.splitlines():
            columns = re.split(r" {4}", line.strip(), maxsplit=2)
            if len(columns) >= 2 and columns[1].startswith("REG_") and \
                    columns[0].lower() == wanted:
                return columns[2] if len(columns) == 3 else ""
        return None

    def set(self, key: str, name: str | None, data: str, kind: str = "REG_SZ") -> None:
        """Sets a value (name None: the key's default value) and checks that it reads back."""
        args = ["add", key, *(["/v", name] if name is not None else ["/ve"]), "/t", kind,
                "/d", data, "/f"]
        result = self._reg(*args)
        # reg shows a REG_MULTI_SZ value with its \0 separators as they were given.
        if self.query(key, name) != data:
            raise AssertionError(f"reg {' '.join(args)} did not take: exit status "
                                 f"{result.returncode}, {result.stderr.strip()[-500:]!r}")

    def delete(self, key: str, name: str) -> None:
        result = self._reg("delete", key, "/v", name, "/f")
        if self.query(key, name) is not None:
            raise AssertionError(f"reg delete {key} /v {name} did not take: exit status "
                                 f"{result.returncode}, {result.stderr.strip()[-500:]!r}")

    def set_url_handler(self, scheme: str, exe: Path) -> None:
        """Makes exe the shell's handler for scheme: addresses. Wine 8 reads only HKLM here
        (measured)."""
        self.set(f"HKLM\\Software\\Classes\\{scheme}\\shell\\open\\command", None,
                 f'"{windows_path(exe)}" "%1"')
