"""Wine prefixes: the environment of their programs, how a prefix is made, its wineserver and
its registry. Every prefix of the project is made and served here: those of the end-to-end
suites, the tour and the benchmark (through desktop.WineDesktop), and the logic tests' one and
scripts/simulate.sh's (through the command line, __main__.py). What Wine does that this code
relies on is written beside the code that relies on it."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path, PurePosixPath
from typing import IO, Callable, Mapping

from .programs import WINE_LOADER_CRASH_TEXT, WINE_LOADER_EXIT_CRASH, die_with_parent
from .screen import DESKTOP_SIZE

# Written into a prefix once it is made, with what it was made for: a prefix without it, or made
# for something else, is made again.
PREFIX_MARK = ".vestrel-prefix"
# Settings of the caller's that the prefix's programs must not inherit. Measured: an override of
# winemenubuilder.exe in WINEDLLOVERRIDES keeps the virtual desktop from starting at all.
CLEARED_SETTINGS = ("WINEARCH", "WINEDLLOVERRIDES")
# wineserver -p: the exit status when a server for the prefix runs already (which serves as
# well).
SERVER_RUNS_ALREADY = 2


def windows_path(path: os.PathLike | str) -> str:
    """The path under which a Windows program in the prefix sees a Linux file (drive Z:)."""
    absolute = PurePosixPath(os.path.abspath(path))
    return "Z:" + str(absolute).replace("/", "\\")


def _quiet(args: list[str], env: Mapping[str, str], timeout: float,
           check: bool = False) -> subprocess.CompletedProcess:
    """Runs a Wine command with its standard streams closed: a wineserver it starts, and the
    services the first program of a server starts, live on after it and keep whatever output
    handle they were given (programs.Programs.start)."""
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout, check=check)


class WinePrefix:
    """A prefix of the project's own in a folder of the build tree, made once, and a wineserver
    for it. With a desktop size (the default), every program of the prefix runs in a virtual
    desktop of that size with a taskbar and a notification area; with None, the prefix is for
    programs that need no display (the logic tests).

    Two kinds of server: start_server() runs one tied to this process's life, whose own messages
    go to server_log (a client that the server ends, with exit status 1 and nothing on its own
    stderr, is explained there); serve_detached() leaves one running after this process, for a
    run of many programs that other processes start (ctest)."""

    def __init__(self, path: Path, server_log: Path | None = None, *,
                 desktop: tuple[int, int] | None = DESKTOP_SIZE, dpi: int = 96):
        self.path = path
        self.server_log = server_log
        self.desktop = desktop
        # The scale of the prefix's display: 96 is 100 %, 120 is 125 %.
        self.dpi = dpi
        self.display: str | None = None
        self._server: subprocess.Popen | None = None

    def env(self, extra: Mapping[str, str] | None = None) -> dict[str, str]:
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.path), WINEDEBUG="-all")
        for name in CLEARED_SETTINGS:
            env.pop(name, None)
        if self.display is not None:
            env["DISPLAY"] = self.display
        env.update(extra or {})
        return env

    def _made_for(self) -> str:
        scale = "" if self.dpi == 96 else f" at {self.dpi} dpi"
        if self.desktop is None:
            return f"no desktop{scale}\n"
        return f"desktop {self.desktop[0]}x{self.desktop[1]}{scale}\n"

    def ready(self) -> bool:
        """Whether the prefix was made here already, for the same desktop."""
        mark = self.path / PREFIX_MARK
        return mark.is_file() and mark.read_text() == self._made_for()

    def ensure(self, setup: Callable[[dict[str, str]], None] | None = None) -> None:
        """Makes the prefix unless it is ready (about 10 s). setup, if given, adds to a new
        prefix."""
        if self.ready():
            return
        if self.path.exists():
            # Wine makes a prefix by itself when a program runs in a folder without one (ctest
            # lists the logic tests' cases that way); its server may still be up.
            self.kill_server()
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        env = self.env()
        # No display yet, and no offers to install Mono or Gecko while the prefix is made.
        env.pop("DISPLAY", None)
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        _quiet(["wineboot", "-i"], env, timeout=180)
        if self.desktop is not None:
            # The default virtual desktop, switched on for every program of the prefix.
            width, height = self.desktop
            for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                     ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default",
                                      f"{width}x{height}")):
                _quiet(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env,
                       timeout=120, check=True)
        if self.dpi != 96:
            # Measured: Wine takes the scale of its displays from this value (the small-icon
            # size is then 20 at 120 dpi, and GetDpiForWindow of the taskbar gives 120).
            _quiet(["wine", "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels",
                    "/t", "REG_DWORD", "/d", str(self.dpi), "/f"], env, timeout=120, check=True)
        if setup is not None:
            setup(env)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120, check=False)
        (self.path / PREFIX_MARK).write_text(self._made_for())

    def start_server(self) -> None:
        """A persistent wineserver (it stays between programs: one then starts in a fraction of
        a second instead of seconds), in the foreground, so that it dies with this process.

        Measured: a wineserver that gets SIGINT (as wineserver -k sends it) ends every process
        of the prefix before it ends; one that gets SIGTERM or SIGKILL leaves them all running,
        Wine's services and the desktop among them. So the server has a session of its own,
        where a terminal's Ctrl-C or a signal to this process's group does not reach it before
        this process has ended the prefix's programs, and SIGINT when this process dies."""
        # A server left behind by an earlier run that was killed would hold the prefix.
        self.kill_server()
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=30, check=False)
        with self._log() as log:
            self._server = subprocess.Popen(
                ["wineserver", "-f", "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                stdout=log, stderr=log, start_new_session=True,
                preexec_fn=lambda: die_with_parent(signal.SIGINT))

    def serve_detached(self) -> None:
        """A persistent wineserver that stays after this process, until kill_server()."""
        status = _quiet(["wineserver", "-p"], self.env(), timeout=30).returncode
        if status not in (0, SERVER_RUNS_ALREADY):
            raise RuntimeError(f"wineserver -p for {self.path} ended with {status}")

    def start_services(self) -> None:
        """Starts the prefix's services (and, with a display, its desktop) now, with no stream
        of this process: whatever program came first would otherwise start them with its own
        output handles. Done, too, before anything is timed."""
        _quiet(["wine", "wineboot"], self.env(), timeout=120, check=True)

    def kill_server(self) -> None:
        """Ends the prefix's wineserver, whoever started it, and with it every Windows process
        of the prefix."""
        _quiet(["wineserver", "-k"], self.env(), timeout=30)

    def stop_server(self) -> None:
        """Ends the server of start_server() and every Windows process of the prefix."""
        if self._server is None:
            return
        self.kill_server()
        try:
            self._server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self._server.kill()
            self._server.wait()
        self._server = None

    def _log(self) -> IO[bytes]:
        if self.server_log is None:
            return open(os.devnull, "wb")
        return open(self.server_log, "ab")

    @property
    def server_pid(self) -> int | None:
        return None if self._server is None else self._server.pid

    def server_messages(self, since: int = 0) -> str:
        """What the wineserver wrote from byte `since` of its log on."""
        if self.server_log is None or not self.server_log.exists():
            return ""
        with open(self.server_log, "rb") as log:
            log.seek(since)
            return log.read().decode(errors="replace")

    def server_log_size(self) -> int:
        if self.server_log is None or not self.server_log.exists():
            return 0
        return self.server_log.stat().st_size


class Registry:
    """Values of the prefix's registry, through Wine's reg.exe. A change is made once and then
    read back; only reading is ever repeated (when Wine's loader crashed before reg.exe could
    answer)."""

    def __init__(self, prefix: WinePrefix):
        self.prefix = prefix

    def _reg(self, *args: str) -> subprocess.CompletedProcess:
        # Output through files, not pipes: reg may be the first program of a fresh wineserver
        # (programs.Programs.start).
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
