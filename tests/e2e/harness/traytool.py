"""traytool.exe (tests/tools/traytool.cpp): the shell's and the system's side of the program's
window, and the Windows view of how a process ended.

Actions (tick, event, close, taskbar-created) are done once and never again: a second tick or a
second balloon end is not the same as one. traytool prints "started" before it does anything
and a result line when it has done it. An action has been done when the result line is there,
whatever Wine made of the process's exit status afterwards (its loader can crash on the way out,
WINE_LOADER_CRASH_TEXT). A run that never printed "started" did nothing (Wine ended the process
before its first line, about once in ten thousand starts), and the action is started again, once.
A run that started and gave no result may or may not have acted: it fails the test, with all
there is to know: traytool's exit status and output, and what the wineserver said meanwhile.
Queries (wait, wait-gone, wait-menu, stats, mutex) change nothing, and one is asked again, once,
when it ended without an answer and without saying why: when Wine's loader crashed, or when Wine
ended the process with nothing said at all (see tests/e2e/README.md).

A long test that acts thousands of times uses one traytool for all of it (TrayDriver), rather
than a Windows process for each action."""

from __future__ import annotations

import os
import select
import sys
import time
from pathlib import Path

from .prefix import WinePrefix, windows_path
from .programs import Finished, Program, Programs, fields
from .waiting import DEFAULT_TIMEOUT

# Wine's error channel on, every other channel off. ("-all" first keeps Debian's wine script from
# printing its hint about 32-bit Wine.)
WINE_ERRORS = {"WINEDEBUG": "-all,err+all"}


class TrayTool:
    def __init__(self, programs: Programs, prefix: WinePrefix, exe: Path):
        self.programs = programs
        self.prefix = prefix
        self.exe = exe

    # -- running traytool --------------------------------------------------------------------

    def _run(self, args: tuple[str, ...], timeout: float) -> tuple[Finished, str]:
        before = self.prefix.server_log_size()
        # Wine's own errors too, should Wine fail the process (measured: silent otherwise).
        finished = self.programs.run(self.exe, *args, timeout=timeout, env=WINE_ERRORS)
        return finished, self.prefix.server_messages(before)

    def _failure(self, finished: Finished, server: str, wanted: str) -> AssertionError:
        said = f"; the wineserver said: {server.strip()[-1000:]!r}" if server.strip() else ""
        return AssertionError(f"{finished.describe()}; no result line ({wanted!r}){said}")

    def act(self, *args: str, result: str, timeout: float = 30.0) -> str:
        """Does an action once; its result line, which starts with `result`."""
        finished, server = self._run(args, timeout)
        if not started(finished):
            print(f"traytool {' '.join(args)} ended before it began, starting it again: "
                  f"{finished.describe()}", file=sys.stderr)
            finished, server = self._run(args, timeout)
        line = finished.last_line()
        if not line.startswith(result):
            raise self._failure(finished, server, result)
        if finished.status != 0:
            # Done, but the process ended badly afterwards: worth knowing, not a failure.
            print(f"traytool {' '.join(args)} printed {line!r}, then Wine ended it with "
                  f"{finished.status}: {finished.stderr.strip()[-300:]!r} {server.strip()!r}",
                  file=sys.stderr)
        return line

    @staticmethod
    def _said_why(finished: Finished) -> bool:
        """traytool told why it could not answer (not Wine ending it)."""
        return any(text.startswith("traytool:") for text in finished.stderr.splitlines())

    def _query(self, args: tuple[str, ...], result: str,
               timeout: float) -> tuple[str | None, Finished, str]:
        for _ in range(2):
            finished, server = self._run(args, timeout)
            line = finished.last_line()
            if line.startswith(result):
                return line, finished, server
            if self._said_why(finished):
                break
            print(f"traytool {' '.join(args)} gave no answer, asking once more: "
                  f"{finished.describe()}", file=sys.stderr)
        return None, finished, server

    def query(self, *args: str, result: str, timeout: float = 30.0) -> str | None:
        """Runs a query; its result line, or None when traytool said why it could not answer
        (for example, a process that is not there). A query that ends without either is asked
        once more; a second such end fails the test."""
        line, finished, server = self._query(args, result, timeout)
        if line is None and not self._said_why(finished):
            raise self._failure(finished, server, result)
        return line

    def _required(self, *args: str, result: str, timeout: float) -> str:
        line, finished, server = self._query(args, result, timeout)
        if line is None:
            raise self._failure(finished, server, result)
        return line

    # -- actions -----------------------------------------------------------------------------

    @staticmethod
    def _which(title: str | None) -> list[str]:
        """The window of the program whose title, its mutex name, is exactly `title`; without
        one, the first program's window."""
        return ["--title", title] if title is not None else []

    def tick(self, count: int = 1, *, send: bool = False, title: str | None = None) -> None:
        """Timer ticks for the program's window; sent, they have been handled on return."""
        self.act("tick", "--count", str(count), *(["--send"] if send else []),
                 *self._which(title), result="ticks=")

    def event(self, code: int, *, send: bool = False, title: str | None = None,
              at: tuple[int, int] | None = None) -> None:
        """One of the icon's callback events (NIN_*), as the shell delivers it; at: the point
        where a menu belongs, which the shell passes in wParam (the icon, for the keyboard)."""
        self.act("event", hex(code), *(["--send"] if send else []), *self._which(title),
                 *(["--at", f"{at[0]},{at[1]}"] if at is not None else []), result="event=")

    def close(self, *, send: bool = False, title: str | None = None) -> None:
        self.act("close", *(["--send"] if send else []), *self._which(title), result="close ")

    def taskbar_created(self, *, direct: bool = False) -> None:
        self.act("taskbar-created", *(["--direct"] if direct else []), result="taskbar-created")

    # -- queries -----------------------------------------------------------------------------

    def wait_for_window(self, timeout: float = DEFAULT_TIMEOUT,
                        title: str | None = None) -> dict[str, int]:
        """{'hwnd': ..., 'pid': ...} of the program's hidden window (of the program whose
        window carries `title`, its mutex name, when given)."""
        line = self._required("wait", "--timeout-ms", str(int(timeout * 1000)),
                              *self._which(title), result="hwnd=", timeout=timeout + 15)
        return {key: int(value) for key, value in fields(line).items()}

    def wait_gone(self, timeout: float = 10.0, title: str | None = None) -> bool:
        """Whether the program's window (the one titled `title`, when given) is gone within
        timeout."""
        return self.query("wait-gone", "--timeout-ms", str(int(timeout * 1000)),
                          *self._which(title), result="gone", timeout=timeout + 15) is not None

    def wait_menu(self, timeout: float = DEFAULT_TIMEOUT) -> None:
        self._required("wait-menu", "--timeout-ms", str(int(timeout * 1000)), result="menu open",
                       timeout=timeout + 15)

    def wait_menu_gone(self, timeout: float = DEFAULT_TIMEOUT) -> None:
        self._required("wait-menu-gone", "--timeout-ms", str(int(timeout * 1000)),
                       result="menu closed", timeout=timeout + 15)

    def stats(self, windows_pid: int) -> dict[str, str] | None:
        """Resource counters of a process; None if it cannot be opened (it has ended)."""
        line = self.query("stats", str(windows_pid), result="handles=")
        return None if line is None else fields(line)

    def probe_mutex(self, name: str) -> tuple[int, int]:
        """What CreateMutexW does with a name: (created, error)."""
        probe = fields(self._required("mutex", name, result="created=", timeout=30))
        return int(probe["created"]), int(probe["error"])

    # -- processes ---------------------------------------------------------------------------

    def _start(self, *args: str, name: str, first_line: str) -> tuple[Program, str]:
        """Starts a traytool that keeps running; it and its first line that starts with
        first_line. Started again, once, if Wine ended it before it began."""
        for attempt in range(2):
            program = self.programs.start(self.exe, *args, name=name, env=WINE_ERRORS)
            try:
                return program, program.wait_for_output(first_line)
            except AssertionError:
                if attempt or program.running() or "started" in program.stdout():
                    raise
                print(f"traytool {' '.join(args)} ended before it began (status "
                      f"{program.popen.returncode}), starting it again", file=sys.stderr)
        raise AssertionError("unreachable")

    def hold(self, *args: str) -> tuple[Program, int]:
        """A live Windows process and its process id (for the state file's pid)."""
        program, line = self._start("hold", *args, name="hold", first_line="pid=")
        return program, int(fields(line)["pid"])

    def run_to_exit(self, exe: Path, *args: str, timeout: float = 30.0) -> int:
        """Runs a Windows program to its end, once, and gives its exit code as Windows reports
        it, which stays right when Wine's loader garbles the Linux exit status."""
        run = ("run", "--timeout-ms", str(int(timeout * 1000)), "--", windows_path(exe), *args)
        finished, server = self._run(run, timeout + 15)
        if not started(finished):
            print(f"traytool run ended before it began, starting it again: "
                  f"{finished.describe()}", file=sys.stderr)
            finished, server = self._run(run, timeout + 15)
        line = finished.last_line()
        if not line.startswith("exit="):
            raise self._failure(finished, server, "exit=")
        return int(fields(line)["exit"])

    def watch_exit(self, program: Program, windows_pid: int) -> None:
        """Starts a Windows-side watch on program's exit code (see run_to_exit)."""
        watch, _ = self._start("wait-exit", str(windows_pid), name=f"{program.name}-exit",
                               first_line="watching ")
        program.exit_watch = watch

    def exit_code(self, program: Program, timeout: float = DEFAULT_TIMEOUT) -> int:
        """The exit code of a program under watch_exit, once it has ended; fails if it still
        runs after timeout."""
        if program.exit_watch is None:
            raise RuntimeError(f"{program.name}'s exit is not watched: call watch_exit first")
        program.wait(timeout)
        line = program.exit_watch.wait_for_output("exit=", timeout)
        return int(fields(line)["exit"])

    def driver(self) -> TrayDriver:
        """A traytool serve for many actions; started again, once, if Wine ended it before it
        began."""
        for attempt in range(2):
            program = self.programs.start(self.exe, "serve", name="traytool-serve",
                                          env=WINE_ERRORS, piped=True)
            try:
                return TrayDriver(program)
            except NotStarted as error:
                if attempt:
                    raise
                print(f"{error}, starting it again", file=sys.stderr)
        raise AssertionError("unreachable")


def started(finished: Finished) -> bool:
    """Whether traytool got as far as its first line; if not, it did nothing at all."""
    return finished.stdout.startswith("started")


class NotStarted(AssertionError):
    """traytool ended before its first line: it did nothing."""


class TrayDriver:
    """One `traytool serve` for a long test: each action is a line to its input and its answer
    a line back, with no Windows process started for it. Never the first program of a desktop
    (see Programs.start)."""

    def __init__(self, program: Program, timeout: float = 60.0):
        self.program = program
        self.timeout = timeout
        self._pending = b""
        self._heard = False
        self._answer("started")
        ready = self._answer("serving ")
        self.pid = int(fields(ready)["pid"])

    def _read_line(self) -> str:
        stdout = self.program.popen.stdout
        assert stdout is not None
        deadline = time.monotonic() + self.timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([stdout], [], [], max(0.0, left))
            chunk = os.read(stdout.fileno(), 4096) if ready else b""
            if not chunk:
                ended = bool(ready)  # readable, yet nothing to read: its output was closed
                state = (f"ended with {self.program.wait(10)}" if ended
                         else f"gave no answer in {self.timeout} s")
                problem = (f"traytool serve {state}; stderr: "
                           f"{self.program.stderr().strip()[-1000:]!r}")
                if ended and not self._heard and not self._pending:
                    raise NotStarted(problem)
                raise AssertionError(problem)
            self._pending += chunk
        line, self._pending = self._pending.split(b"\n", 1)
        self._heard = True
        return line.decode(errors="replace").strip()

    def _answer(self, result: str) -> str:
        line = self._read_line()
        if not line.startswith(result):
            raise AssertionError(f"traytool serve answered {line!r}, not {result!r}…")
        return line

    def command(self, *words: str, result: str) -> str:
        stdin = self.program.popen.stdin
        assert stdin is not None
        stdin.write((" ".join(words) + "\n").encode())
        stdin.flush()
        return self._answer(result)

    def tick(self, count: int = 1, *, send: bool = False) -> None:
        self.command("tick", "--count", str(count), *(["--send"] if send else []),
                     result="ticks=")

    def event(self, code: int) -> None:
        self.command("event", hex(code), result="event=")

    def close(self) -> None:
        self.command("close", result="close ")

    def stats(self, windows_pid: int) -> dict[str, str]:
        return fields(self.command("stats", str(windows_pid), result="handles="))

    def stop(self) -> None:
        """Ends the input; traytool serve ends with it."""
        popen = self.program.popen
        if popen.stdin is not None and not popen.stdin.closed:
            popen.stdin.close()
        try:
            self.program.wait(self.timeout)
        finally:
            if popen.stdout is not None:
                popen.stdout.close()
