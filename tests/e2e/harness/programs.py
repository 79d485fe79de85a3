"""Windows programs under Wine, started in the background with their output in files, and ended
with the bench."""

from __future__ import annotations

import ctypes
import signal
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Mapping

from .waiting import DEFAULT_TIMEOUT, wait_until

# Seen about once in a few hundred runs: glibc's dynamic loader aborts inside the exit path of
# Wine's process, and the Linux exit code no longer tells what the Windows program returned.
WINE_LOADER_EXIT_CRASH = 127
WINE_LOADER_CRASH_TEXT = "Inconsistency detected by ld.so"


def die_with_parent(death_signal: int = signal.SIGKILL) -> None:
    """For preexec_fn: nothing the bench starts may outlive a run that is killed outright (a ctest
    time-out): not Xvfb, not the wineserver, and not a Windows program that is still starting up
    (one such was seen hanging on after its wineserver had gone). The process gets death_signal
    when this one ends."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, death_signal, 0, 0, 0)


def fields(line: str) -> dict[str, str]:
    """key=value words of a tool's output line."""
    return dict(word.split("=", 1) for word in line.split() if "=" in word)


class Program:
    """A Windows program started in the background; stdout and stderr go to files."""

    def __init__(self, name: str, popen: subprocess.Popen, stdout: Path, stderr: Path):
        self.name = name
        self.popen = popen
        self.stdout_path = stdout
        self.stderr_path = stderr
        # traytool wait-exit on this program, once its Windows pid is known (TrayTool.watch_exit).
        self.exit_watch: Program | None = None

    def stdout(self) -> str:
        """What the program printed so far. Console programs under Wine end their lines with
        CR LF; read as text, each line ends with a bare LF, as a Linux program's does."""
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

    def wait(self, timeout: float | None = DEFAULT_TIMEOUT) -> int:
        """The Linux exit status; fails (and ends the program) if it still runs after timeout
        (None: waits for its end however long it takes).
        It is not the Windows exit code when Wine's loader crashed on the way out: where the
        code matters, TrayTool.exit_code tells it."""
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


@dataclass(frozen=True)
class Finished:
    """A program run to its end: its words, its Linux exit status and what it printed."""
    args: tuple[str, ...]
    status: int
    stdout: str
    stderr: str

    @property
    def loader_crashed(self) -> bool:
        return self.status == WINE_LOADER_EXIT_CRASH and WINE_LOADER_CRASH_TEXT in self.stderr

    def last_line(self) -> str:
        lines = self.stdout.strip().splitlines()
        return lines[-1].strip() if lines else ""

    def describe(self) -> str:
        return (f"{' '.join(self.args)}: exit status {self.status}, stdout "
                f"{self.stdout.strip()[-500:]!r}, stderr {self.stderr.strip()[-1000:]!r}")


class Programs:
    """Every Windows program started for the current test, with its output in the test's work
    folder; end_all() ends them (wineserver -k would, too, but not before the next desktop)."""

    def __init__(self, env: Callable[[Mapping[str, str] | None], dict[str, str]]):
        self.env = env
        self.work: Path | None = None
        self._started: list[Program] = []
        self._sequence = 0

    def start(self, exe: Path, *args: str, name: str | None = None,
              env: Mapping[str, str] | None = None, piped: bool = False) -> Program:
        """Starts `wine exe args`. With piped, stdin and stdout are pipes to this process: only
        for a program started after another one on the same desktop, since the first program of
        a wineserver starts Wine's services, which inherit its output handles and would hold a
        pipe open for good (measured)."""
        if self.work is None:
            raise RuntimeError("no test has begun")
        self._sequence += 1
        name = name or exe.stem
        stem = self.work / f"{self._sequence:02d}-{name}"
        stdout, stderr = stem.with_suffix(".out"), stem.with_suffix(".err")
        with open(stdout, "wb") as out, open(stderr, "wb") as err:
            popen = subprocess.Popen(["wine", str(exe), *args], env=self.env(env),
                                     stdin=subprocess.PIPE if piped else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE if piped else out, stderr=err,
                                     cwd=self.work, preexec_fn=die_with_parent)
        program = Program(name, popen, stdout, stderr)
        self._started.append(program)
        return program

    def run(self, exe: Path, *args: str, timeout: float | None = 30.0,
            env: Mapping[str, str] | None = None) -> Finished:
        """Runs a program to its end, once; one that outlives timeout is ended and fails the
        test (None: no limit, for a benchmark whose length its options decide). Nothing is ever
        run again here: whether a failed run may be repeated is for the caller to know (a query
        may, an action never).

        Output goes through files, not pipes: see start()."""
        program = self.start(exe, *args, name=exe.stem, env=env)
        try:
            status = program.wait(timeout)
        except AssertionError:
            raise AssertionError(
                f"{exe.name} {' '.join(args)} still ran after {timeout:.0f} s") from None
        return Finished((exe.name, *args), status, program.stdout(), program.stderr())

    def end_all(self) -> None:
        for program in reversed(self._started):
            program.kill()
        self._started.clear()
