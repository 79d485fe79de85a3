"""Bench for end-to-end tests: the real tray program under Wine, in a virtual desktop on Xvfb.

The bench keeps its own Wine prefix in the build tree (created once, with the default virtual
desktop of 1024x768), starts a private X server on a free display and a persistent wineserver,
starts Windows programs in the background, writes the profile files that the program reads,
drives the desktop with xdotool and keeps screenshots in <build>/e2e-artifacts/.

A test module calls main(); each test gets a fresh desktop (wineserver -k ends every Windows
process of the prefix, the icons with them) and a fresh work folder. Everything the bench starts
is ended when a test ends, also when it fails, and when the run itself is killed: the X server,
the wineserver and the Windows programs die with this process. One session per build tree runs
at a time (a lock file in the build tree); a second one waits for the first.
"""

from __future__ import annotations

import argparse
import ctypes
import fcntl
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any, Callable, Iterable, Mapping, Sequence

DESKTOP_SIZE = (1024, 768)
# Measured in Wine 8's 1024x768 virtual desktop: the notification area's first icon is drawn in
# this box. Behind it is one flat colour: the taskbar's, or the desktop's, since Wine hides the
# taskbar while it holds no icon and no window button.
TRAY_ICON_CENTER = (1012, 758)
TRAY_SLOT_BOX = (1000, 748, 24, 20)  # x, y, width, height

TRAY_CALLBACK_MESSAGE = 0x8001
TRAY_ICON_ID = 1
WM_CONTEXTMENU = 0x007B
NIN_SELECT = 0x0400
NIN_KEYSELECT = 0x0401
NIN_BALLOONSHOW = 0x0402
NIN_BALLOONHIDE = 0x0403
NIN_BALLOONTIMEOUT = 0x0404
NIN_BALLOONUSERCLICK = 0x0405

NIF_MESSAGE = 0x01
NIF_ICON = 0x02
NIF_TIP = 0x04
NIF_INFO = 0x10
NIF_SHOWTIP = 0x80
NIIF_INFO = 1
NIIF_WARNING = 2

DEFAULT_TIMEOUT = 15.0
# Seen about once in a few hundred runs: glibc's dynamic loader aborts inside the exit path of
# Wine's process, and the Linux exit code no longer tells what the Windows program returned.
WINE_LOADER_EXIT_CRASH = 127
WINE_LOADER_CRASH_TEXT = "Inconsistency detected by ld.so"
PREFIX_READY_MARK = ".vestrel-e2e-ready"


# ---------------------------------------------------------------------------------------------
# Configuration from the command line


@dataclass
class BenchConfig:
    build_dir: Path
    tray_exe: Path
    tools_dir: Path

    @property
    def prefix(self) -> Path:
        return self.build_dir / "wineprefix-e2e"

    @property
    def artifacts(self) -> Path:
        return self.build_dir / "e2e-artifacts"

    @property
    def work_root(self) -> Path:
        return self.build_dir / "e2e-work"

    def tool(self, name: str) -> Path:
        return self.tools_dir / f"{name}.exe"


CONFIG: BenchConfig | None = None
SESSION: "WineSession | None" = None


def parse_config(argv: Sequence[str]) -> tuple[BenchConfig, list[str]]:
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build-dir", required=True, type=Path)
    parser.add_argument("--tray-exe", type=Path)
    parser.add_argument("--tools-dir", type=Path)
    known, rest = parser.parse_known_args(argv)
    build = known.build_dir.resolve()
    config = BenchConfig(
        build_dir=build,
        tray_exe=(known.tray_exe or build / "vestrel-tray.exe").resolve(),
        tools_dir=(known.tools_dir or build / "tests" / "tools").resolve(),
    )
    return config, rest


def main() -> None:
    """Entry point of a test module: python3 test_x.py --build-dir DIR [unittest options]."""
    global CONFIG, SESSION
    CONFIG, rest = parse_config(sys.argv[1:])
    # A run that is told to stop still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    SESSION = WineSession(CONFIG)
    try:
        SESSION.open()
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
        ok = program.result.wasSuccessful()
    finally:
        SESSION.close()
    sys.exit(0 if ok else 1)


# ---------------------------------------------------------------------------------------------
# Small helpers


def wait_until(predicate: Callable[[], Any], description: str,
               timeout: float = DEFAULT_TIMEOUT, interval: float = 0.05) -> Any:
    """Polls predicate until it gives a true value, which is returned; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"gave up after {timeout:.0f} s waiting for {description}")
        time.sleep(interval)


def pixel_rows(shot: Path, box: tuple[int, int, int, int]) -> list[bytes]:
    """The RGB rows (3 bytes a pixel) of a box (x, y, width, height) of a screenshot."""
    x, y, width, height = box
    raw = subprocess.run(["convert", str(shot), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                          "-depth", "8", "rgb:-"], check=True, capture_output=True,
                         timeout=30).stdout
    stride = width * 3
    return [raw[row * stride:(row + 1) * stride] for row in range(height)]


def windows_path(path: os.PathLike | str) -> str:
    """The path under which a Windows program in the prefix sees a Linux file (drive Z:)."""
    absolute = PurePosixPath(os.path.abspath(path))
    return "Z:" + str(absolute).replace("/", "\\")


def _die_with_parent() -> None:
    # Nothing the bench starts may outlive a run that is killed outright (a ctest time-out):
    # not Xvfb, not the wineserver, and not a Windows program that is still starting up (one
    # such was seen hanging on after its wineserver had gone).
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)


# ---------------------------------------------------------------------------------------------
# Profile files (the state file that the companion writes, the seen file that the program keeps)


def encode_profile(sections: Mapping[str, Mapping[str, Any]]) -> bytes:
    """UTF-16LE with a byte-order mark and CRLF line ends: what Windows' profile reader reads."""
    lines: list[str] = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys.items())
    text = "".join(line + "\r\n" for line in lines)
    return b"\xff\xfe" + text.encode("utf-16-le")


def write_profile(path: Path, sections: Mapping[str, Mapping[str, Any]]) -> None:
    """Replaces the file in one step, so that the program never reads half of it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(path.name + ".new")
    temporary.write_bytes(encode_profile(sections))
    os.replace(temporary, path)


def decode_profile_text(data: bytes) -> str:
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    if data.startswith(b"\xef\xbb\xbf"):
        return data[3:].decode("utf-8")
    return data.decode("latin-1")


def read_profile(path: Path) -> dict[str, dict[str, str]]:
    """Sections and keys of a profile file; names in lower case, as Windows matches them."""
    sections: dict[str, dict[str, str]] = {}
    if not path.exists():
        return sections
    current: dict[str, str] | None = None
    for raw in decode_profile_text(path.read_bytes()).splitlines():
        line = raw.strip()
        if line.startswith("[") and "]" in line:
            current = sections.setdefault(line[1:line.index("]")].strip().lower(), {})
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current[key.strip().lower()] = value.strip()
    return sections


def state_sections(pid: int | None, *, status: str = "running",
                   labels: Mapping[str, str] | None = None,
                   notices: Sequence[Mapping[str, str]] = (),
                   written_unix: int | None = None,
                   extra: Mapping[str, str] | None = None) -> dict[str, dict[str, Any]]:
    """A state file as the companion writes it: heartbeat now, the given pid, labels, notices."""
    state: dict[str, Any] = {
        "written_unix": int(time.time()) if written_unix is None else written_unix,
        "pid": 0 if pid is None else pid,
        "status": status,
    }
    for name, text in (labels or {}).items():
        state[f"label_{name}"] = text
    state.update(extra or {})
    state["notices"] = len(notices)
    sections: dict[str, dict[str, Any]] = {"state": state}
    for number, notice in enumerate(notices, start=1):
        sections[f"notice{number}"] = dict(notice)
    return sections


# ---------------------------------------------------------------------------------------------
# Programs under Wine


class Program:
    """A Windows program started in the background; stdout and stderr go to files."""

    def __init__(self, name: str, popen: subprocess.Popen, stdout: Path, stderr: Path):
        self.name = name
        self.popen = popen
        self.stdout_path = stdout
        self.stderr_path = stderr
        # traytool wait-exit on this program, once its Windows pid is known (watch_exit).
        self.exit_watch: Program | None = None

    def stdout(self) -> str:
        return self.stdout_path.read_text(errors="replace") if self.stdout_path.exists() else ""

    def stderr(self) -> str:
        return self.stderr_path.read_text(errors="replace") if self.stderr_path.exists() else ""

    def running(self) -> bool:
        return self.popen.poll() is None

    def wait_for_output(self, prefix: str, timeout: float = DEFAULT_TIMEOUT) -> str:
        """The first stdout line that starts with prefix; fails if the program ends first."""
        def find() -> str | None:
            for line in self.stdout().splitlines():
                if line.startswith(prefix):
                    return line
            if not self.running():
                raise AssertionError(
                    f"{self.name} ended with {self.popen.returncode} before printing "
                    f"{prefix!r}; stderr: {self.stderr()!r}")
            return None
        return wait_until(find, f"{self.name} to print {prefix!r}", timeout)

    def wait(self, timeout: float = DEFAULT_TIMEOUT) -> int:
        """The exit code; fails (and ends the program) if it is still running after timeout."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"{self.name} still ran after {timeout:.0f} s") from None

    def kill(self) -> None:
        if self.popen.poll() is None:
            self.popen.kill()
        try:
            self.popen.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass


def fields(line: str) -> dict[str, str]:
    """key=value words of a tool's output line."""
    return dict(word.split("=", 1) for word in line.split() if "=" in word)


class Standin(Program):
    """shell-standin.exe: every request to the notification area, as JSON records."""

    def __init__(self, program: Program, log: Path):
        super().__init__(program.name, program.popen, program.stdout_path, program.stderr_path)
        self.log = log

    def records(self) -> list[dict[str, Any]]:
        if not self.log.exists():
            return []
        text = self.log.read_text(encoding="utf-8")
        # A line still being written has no line end yet.
        return [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith("\n")]

    def count(self) -> int:
        return len(self.records())

    def since(self, mark: int) -> list[dict[str, Any]]:
        return self.records()[mark:]

    def wait_for(self, predicate: Callable[[dict[str, Any]], bool], description: str,
                 after: int = 0, timeout: float = DEFAULT_TIMEOUT) -> dict[str, Any]:
        """The first record after the first `after` ones for which predicate holds."""
        def find() -> dict[str, Any] | None:
            return next((r for r in self.since(after) if predicate(r)), None)
        try:
            return wait_until(find, description, timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}; requests so far: {self.summary()}") from None

    def summary(self) -> str:
        return "; ".join(
            f"{r['op']}(result={r['result']}, flags={r['uFlags']:#x}, tip={r['szTip']!r}, "
            f"title={r['szInfoTitle']!r})" for r in self.records()) or "none"


class WineSession:
    """Xvfb, the Wine prefix and its wineserver, and every program started under them."""

    def __init__(self, config: BenchConfig):
        self.config = config
        self.display: str | None = None
        self._xvfb: subprocess.Popen | None = None
        self._server: subprocess.Popen | None = None
        self._programs: list[Program] = []
        self._sequence = 0
        self.work: Path = config.work_root / "session"
        self.test_name = "session"
        self._lock: Any = None

    # -- lifetime ---------------------------------------------------------------------------

    def open(self) -> None:
        missing = [tool for tool in ("wine", "wineserver", "wineboot", "Xvfb", "xdotool",
                                     "import", "convert") if shutil.which(tool) is None]
        if missing:
            raise RuntimeError(f"the e2e bench needs these programs: {', '.join(missing)}")
        for exe in (self.config.tray_exe, self.config.tool("traytool"),
                    self.config.tool("shell-standin"), self.config.tool("record-args")):
            if not exe.is_file():
                raise RuntimeError(f"{exe} is missing: build the project first")
        self.config.artifacts.mkdir(parents=True, exist_ok=True)
        self.config.work_root.mkdir(parents=True, exist_ok=True)
        self._take_bench()
        self._ensure_prefix()
        self._start_xvfb()
        self._start_server()

    def close(self) -> None:
        self.end_programs()
        self._stop_server()
        self._stop_xvfb()
        if self._lock is not None:
            self._lock.close()
            self._lock = None

    def _take_bench(self, timeout: float = 240.0) -> None:
        """One session per build tree at a time: a second one would kill the first one's
        programs when it resets the shared prefix. The lock goes with the process."""
        self._lock = open(self.config.build_dir / "e2e-bench.lock", "a+")
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    self._lock.seek(0)
                    holder = self._lock.read().strip()
                    raise RuntimeError(f"the e2e bench of {self.config.build_dir} is still in "
                                       f"use after {timeout:.0f} s (by {holder})") from None
                time.sleep(0.5)
        self._lock.truncate(0)
        self._lock.write(f"pid {os.getpid()}\n")
        self._lock.flush()

    def fresh_desktop(self) -> None:
        """Ends every Windows program of the prefix; the next one to start brings a new
        desktop with an empty notification area."""
        self.end_programs()
        self._stop_server()
        if self._xvfb is None or self._xvfb.poll() is not None:
            if self._xvfb is not None:
                print(f"Xvfb on {self.display} had ended ({self._xvfb.returncode}); "
                      "starting another", file=sys.stderr)
            self._start_xvfb()
        self._start_server()
        self.reset_focus()

    def reset_focus(self) -> None:
        """Gives the X input focus to whatever window is under the pointer. There is no window
        manager: when the Wine window that held the focus goes away with its wineserver, the
        focus falls to None and the server drops every key from then on."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XSetInputFocus.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                       ctypes.c_ulong]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.display.encode())
        if not display:
            raise RuntimeError(f"cannot open X display {self.display}")
        pointer_root = revert_to_pointer_root = 1
        x11.XSetInputFocus(display, pointer_root, revert_to_pointer_root, 0)  # 0: CurrentTime
        x11.XCloseDisplay(display)  # flushes the request

    def begin_test(self, test_id: str) -> Path:
        """A clean work folder for one test; its name also prefixes the test's screenshots."""
        self.test_name = test_id.split(".", 1)[-1].replace(".", "-")
        self.work = self.config.work_root / self.test_name
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        return self.work

    def end_programs(self) -> None:
        for program in reversed(self._programs):
            program.kill()
        self._programs.clear()

    def env(self, extra: Mapping[str, str] | None = None) -> dict[str, str]:
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.config.prefix), WINEDEBUG="-all")
        # Measured: overriding winemenubuilder.exe here keeps the desktop from starting at all.
        for name in ("WINEARCH", "WINEDLLOVERRIDES"):
            env.pop(name, None)
        if self.display is not None:
            env["DISPLAY"] = self.display
        env.update(extra or {})
        return env

    def _ensure_prefix(self) -> None:
        prefix = self.config.prefix
        if (prefix / PREFIX_READY_MARK).exists():
            return
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.mkdir(parents=True)
        env = self.env()
        env.pop("DISPLAY", None)
        # No offers to install Mono or Gecko while the prefix is made.
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180, check=False)
        # Every program then runs in a desktop with a taskbar and a notification area.
        for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                                 ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default",
                                  f"{DESKTOP_SIZE[0]}x{DESKTOP_SIZE[1]}")):
            subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                           check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120, check=False)
        (prefix / PREFIX_READY_MARK).write_text("ready\n")

    def _start_xvfb(self) -> None:
        # Numbers far from the low ones that other tools reach for, tried in random order so that
        # two benches starting at once rarely want the same one.
        for number in random.sample(range(300, 1000), 60):
            marks = (f"/tmp/.X{number}-lock", f"/tmp/.X11-unix/X{number}")
            if any(Path(mark).exists() for mark in marks):
                continue
            read_end, write_end = os.pipe()
            width, height = DESKTOP_SIZE
            with open(self.config.work_root / "xvfb.log", "ab") as log:
                xvfb = subprocess.Popen(
                    ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0",
                     f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                    pass_fds=(write_end,), stdout=log, stderr=log, preexec_fn=_die_with_parent)
            os.close(write_end)
            reported = self._read_display_number(read_end)
            if reported:
                self._xvfb = xvfb
                self.display = f":{reported}"
                return
            # Taken after all (another server won the race), or broken: try the next one.
            xvfb.kill()
            xvfb.wait()
        raise RuntimeError("no free X display for Xvfb")

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

    def _stop_xvfb(self) -> None:
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

    def _start_server(self) -> None:
        # A server left behind by an earlier run that was killed would hold the prefix.
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=30, check=False)
        # In the foreground, so that it can be tied to this process's life.
        self._server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=_die_with_parent)

    def _stop_server(self) -> None:
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

    # -- running programs -------------------------------------------------------------------

    def start(self, exe: Path, *args: str, name: str | None = None,
              env: Mapping[str, str] | None = None) -> Program:
        self._sequence += 1
        name = name or exe.stem
        stem = self.work / f"{self._sequence:02d}-{name}"
        stdout, stderr = stem.with_suffix(".out"), stem.with_suffix(".err")
        with open(stdout, "wb") as out, open(stderr, "wb") as err:
            popen = subprocess.Popen(["wine", str(exe), *args], env=self.env(env),
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     cwd=self.work, preexec_fn=_die_with_parent)
        program = Program(name, popen, stdout, stderr)
        self._programs.append(program)
        return program

    def run(self, exe: Path, *args: str, timeout: float = 30.0,
            env: Mapping[str, str] | None = None) -> subprocess.CompletedProcess:
        """Runs a program to its end; one that outlives timeout is ended and fails the test.

        Output goes through files, not pipes: the first program of a fresh wineserver starts
        Wine's services, which inherit its output handles and would keep a pipe open for good
        (measured: a run that reads pipes to their end then never returns)."""
        for attempt in range(3):
            program = self.start(exe, *args, name=exe.stem, env=env)
            try:
                code = program.wait(timeout)
            except AssertionError:
                raise AssertionError(
                    f"{exe.name} {' '.join(args)} still ran after {timeout:.0f} s") from None
            stderr = program.stderr()
            if code == WINE_LOADER_EXIT_CRASH and WINE_LOADER_CRASH_TEXT in stderr:
                # Wine's own loader failed while the process was already ending, after the
                # program had finished; what the program did is unknown, so do it again.
                print(f"{exe.name}: Wine's loader crashed at exit (attempt {attempt + 1})",
                      file=sys.stderr)
                continue
            break
        return subprocess.CompletedProcess([exe.name, *args], code, program.stdout(), stderr)

    def traytool(self, *args: str, timeout: float = 30.0, check: bool = True) -> str:
        result = self.run(self.config.tool("traytool"), *args, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"traytool {' '.join(args)} failed with {result.returncode}: "
                                 f"{result.stderr.strip()}")
        return result.stdout.strip()

    def watch_exit(self, program: Program, pid: int) -> None:
        """Starts a Windows-side watch on program's exit code, which stays right even when
        Wine's loader garbles the Linux exit status (see WINE_LOADER_CRASH_TEXT)."""
        watch = self.start(self.config.tool("traytool"), "wait-exit", str(pid),
                           name=f"{program.name}-exit")
        watch.wait_for_output("watching ")
        program.exit_watch = watch

    def exit_code(self, program: Program, timeout: float = DEFAULT_TIMEOUT) -> int:
        """The program's exit code, once it has ended; fails if it still runs after timeout."""
        code = program.wait(timeout)
        if program.exit_watch is not None:
            line = program.exit_watch.wait_for_output("exit=", timeout)
            return int(fields(line)["exit"])
        if code == WINE_LOADER_EXIT_CRASH and WINE_LOADER_CRASH_TEXT in program.stderr():
            raise AssertionError(f"{program.name} ended, but Wine's loader crashed on the way "
                                 "out and no exit watch was set up to tell its exit code")
        return code

    def hold(self, *args: str) -> tuple[Program, int]:
        """A live Windows process and its process id (for the state file's pid)."""
        program = self.start(self.config.tool("traytool"), "hold", *args, name="hold")
        return program, int(fields(program.wait_for_output("pid="))["pid"])

    def start_standin(self, *, forward: bool = True, refuse_add: int = 0,
                      refuse_modify: int = 0) -> Standin:
        """Puts shell-standin in front of the desktop's notification area. With forward, each
        request is also passed on, so the icon is really drawn too."""
        log = self.work / "shell-requests.jsonl"
        args = ["--log", windows_path(log)]
        if forward:
            args.append("--forward")
        if refuse_add:
            args += ["--refuse-add", str(refuse_add)]
        if refuse_modify:
            args += ["--refuse-modify", str(refuse_modify)]
        program = self.start(self.config.tool("shell-standin"), *args, name="shell-standin")
        program.wait_for_output("ready ")
        return Standin(program, log)

    def tray_args(self, *, mutex: str, state: Path, seen: Path, pythonw: Path | None = None,
                  launcher: Path | None = None) -> list[str]:
        pythonw = pythonw or self.config.tool("record-args")
        launcher = launcher or self.work / "launcher.py"
        return ["--mutex", mutex, "--state", windows_path(state), "--seen", windows_path(seen),
                "--pythonw", windows_path(pythonw), "--launcher", windows_path(launcher)]

    def start_tray(self, args: Sequence[str], env: Mapping[str, str] | None = None) -> Program:
        return self.start(self.config.tray_exe, *args, name="vestrel-tray", env=env)

    def wait_for_tray_window(self, timeout: float = DEFAULT_TIMEOUT) -> dict[str, int]:
        """{'hwnd': ..., 'pid': ...} of the program's hidden window."""
        line = self.traytool("wait", "--timeout-ms", str(int(timeout * 1000)),
                             timeout=timeout + 15)
        return {key: int(value) for key, value in fields(line).items()}

    def register_https_handler(self, exe: Path) -> None:
        """Makes exe the shell's handler for https addresses (Wine 8 reads only HKLM here)."""
        key = "HKLM\\Software\\Classes\\https\\shell\\open\\command"
        command = f'"{windows_path(exe)}" "%1"'
        subprocess.run(["wine", "reg", "add", key, "/ve", "/d", command, "/f"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                       check=True)

    # -- looking and driving ----------------------------------------------------------------

    def screenshot(self, name: str) -> Path:
        path = self.config.artifacts / f"{self.test_name}-{name}.png"
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)],
                       check=True, timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return path

    def crop(self, source: Path, box: tuple[int, int, int, int], name: str,
             zoom: int = 4) -> Path:
        x, y, width, height = box
        path = self.config.artifacts / f"{self.test_name}-{name}.png"
        subprocess.run(["convert", str(source), "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                        "-scale", f"{zoom * 100}%", str(path)], check=True, timeout=30)
        return path

    @staticmethod
    def colour_count(source: Path, box: tuple[int, int, int, int]) -> int:
        x, y, width, height = box
        result = subprocess.run(["convert", str(source), "-crop", f"{width}x{height}+{x}+{y}",
                                 "+repage", "-format", "%k", "info:"],
                                check=True, timeout=30, capture_output=True, text=True)
        return int(result.stdout.strip())

    def tray_slot_colours(self, name: str) -> tuple[int, Path]:
        """Screenshot now; the number of colours in the first icon's slot (1 when empty)."""
        shot = self.screenshot(name)
        return self.colour_count(shot, TRAY_SLOT_BOX), shot

    def wait_for_tray_slot(self, filled: bool, name: str,
                           timeout: float = DEFAULT_TIMEOUT) -> Path:
        """Waits until the first icon slot shows an icon (or shows none); keeps the screenshot
        that proved it, and a zoomed crop of the notification area beside it."""
        def look() -> Path | None:
            colours, shot = self.tray_slot_colours(name)
            return shot if (colours > 3) == filled else None
        state = "an icon" if filled else "no icon"
        shot = wait_until(look, f"the notification area to show {state}", timeout, interval=0.2)
        self.crop(shot, (DESKTOP_SIZE[0] - 160, DESKTOP_SIZE[1] - 28, 160, 28), name + "-tray")
        return shot

    def xdotool(self, *args: str) -> str:
        result = subprocess.run(["xdotool", *args], env=self.env(), check=True, timeout=30,
                                capture_output=True, text=True)
        return result.stdout

    def right_click_tray_icon(self) -> None:
        x, y = TRAY_ICON_CENTER
        self.xdotool("mousemove", str(x), str(y), "click", "3")

    def keys(self, *keys: str) -> None:
        self.xdotool("key", "--delay", "80", *keys)

    def open_tray_menu(self, screenshot: str | None = None) -> Path | None:
        """Right-clicks the icon as a person would and waits for the popup menu."""
        self.reset_focus()
        self.right_click_tray_icon()
        self.traytool("wait-menu", "--timeout-ms", str(int(DEFAULT_TIMEOUT * 1000)),
                      timeout=DEFAULT_TIMEOUT + 15)
        return self.screenshot(screenshot) if screenshot else None

    def choose_from_menu(self, *keys: str) -> None:
        """Keys in the open menu (such as "Down", "Return" or "Escape"); waits until it has
        closed. The greyed first line counts when stepping down; separators do not."""
        self.keys(*keys)
        self.traytool("wait-menu-gone", "--timeout-ms", str(int(DEFAULT_TIMEOUT * 1000)),
                      timeout=DEFAULT_TIMEOUT + 15)


# ---------------------------------------------------------------------------------------------
# Base class of the tests


class TrayTestCase(unittest.TestCase):
    """Each test: a fresh desktop and work folder; afterwards everything it started is ended
    (the program gets a WM_CLOSE first, so it can remove its icon) and a last screenshot is
    kept."""

    session: WineSession
    work: Path

    def setUp(self) -> None:
        if SESSION is None:
            raise RuntimeError("run the test module itself (it calls harness.main()), "
                               "with --build-dir")
        self.session = SESSION
        self.session.fresh_desktop()
        self.work = self.session.begin_test(self.id())
        self.addCleanup(self._end_test)

    def _end_test(self) -> None:
        try:
            self.session.screenshot("end")
        except (subprocess.SubprocessError, OSError) as error:
            # The test's own outcome matters more than its last picture.
            print(f"no final screenshot: {error}", file=sys.stderr)
        finally:
            self.session.end_programs()

    # Shortcuts that most tests need.

    def live_companion_pid(self) -> int:
        """The pid of a live process, as a running companion writes it into the state file."""
        _, pid = self.session.hold()
        return pid

    def start_running_tray(self, labels: Mapping[str, str], *, mutex: str = "vestrel-e2e",
                           pid: int | None = None, **state: Any) -> tuple[Program, dict[str, int]]:
        """The program with a state file of a running companion; returns it and its window."""
        state_path = self.work / "state.ini"
        write_profile(state_path, state_sections(
            pid if pid is not None else self.live_companion_pid(), labels=labels, **state))
        tray = self.session.start_tray(self.session.tray_args(
            mutex=mutex, state=state_path, seen=self.work / "seen.ini"))
        window = self.session.wait_for_tray_window()
        self.session.watch_exit(tray, window["pid"])
        return tray, window

    def assert_tray_ended(self, tray: Program, timeout: float = DEFAULT_TIMEOUT) -> None:
        code = self.session.exit_code(tray, timeout)
        self.assertEqual(code, 0, f"exit code; stderr: {tray.stderr()!r}")


def flags_text(flags: int) -> str:
    names = {NIF_MESSAGE: "NIF_MESSAGE", NIF_ICON: "NIF_ICON", NIF_TIP: "NIF_TIP",
             NIF_INFO: "NIF_INFO", NIF_SHOWTIP: "NIF_SHOWTIP"}
    return "|".join(name for bit, name in names.items() if flags & bit) or "0"


def ops(records: Iterable[Mapping[str, Any]]) -> list[str]:
    return [record["op"] for record in records]
