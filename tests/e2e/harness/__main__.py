"""The bench's Wine prefixes and desktop for callers outside Python (prefix.py makes them):

    python3 tests/e2e/harness server-start PREFIX   the prefix (made once, for programs that need
                                                    no display), a persistent wineserver that
                                                    stays after this command, and the prefix's
                                                    services: ctest's wine_start
    python3 tests/e2e/harness server-stop PREFIX    ends that server and every program of the
                                                    prefix: ctest's wine_stop
    python3 tests/e2e/harness run PREFIX -- EXE [ARGUMENT...]
                                                    runs one Windows program in that prefix (made
                                                    once) and ends with its exit status
    python3 tests/e2e/harness desktop PREFIX        a desktop to try the program in: the prefix
                                                    (made once, with the virtual desktop), a
                                                    private X display and a wineserver; prints the
                                                    settings a shell needs for it and keeps it
                                                    until interrupted, then ends every program in
                                                    it and the display

(`python3 -m harness ...` from tests/e2e does the same.)
"""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
if not __package__:
    # Run as a folder: the package is found beside it.
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from harness.desktop import WineDesktop  # noqa: E402
from harness.prefix import CLEARED_SETTINGS, WinePrefix  # noqa: E402
from harness.xdisplay import XDisplay  # noqa: E402


def server_start(prefix_path: Path) -> int:
    prefix = WinePrefix(prefix_path, desktop=None)
    prefix.ensure()
    prefix.serve_detached()
    # Or the first program of the run starts them, holding its caller's output pipes.
    prefix.start_services()
    return 0


def server_stop(prefix_path: Path) -> int:
    WinePrefix(prefix_path, desktop=None).kill_server()
    return 0


def run(prefix_path: Path, command: list[str]) -> int:
    prefix = WinePrefix(prefix_path, desktop=None)
    prefix.ensure()
    os.execvpe("wine", ["wine", *command], prefix.env())


def desktop(prefix_path: Path) -> int:
    prefix = WinePrefix(prefix_path, prefix_path / "wineserver.log")
    wine_desktop = WineDesktop(prefix, XDisplay(prefix_path / "xvfb.log"))
    # Ended with kill (or Ctrl-C), it still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(0))
    try:
        wine_desktop.open()
        prefix.start_services()
        env = prefix.env()
        settings = " ".join(f"{name}={shlex.quote(env[name])}"
                            for name in ("WINEPREFIX", "WINEDEBUG", "DISPLAY"))
        print(f"export {settings}\nunset {' '.join(CLEARED_SETTINGS)}", flush=True)
        print(f"# the desktop runs until this process (pid {os.getpid()}) is ended",
              file=sys.stderr, flush=True)
        while True:
            signal.pause()
    except KeyboardInterrupt:
        return 0
    finally:
        wine_desktop.close()


def main() -> int:
    parser = argparse.ArgumentParser(prog="python3 tests/e2e/harness", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("server-start", "server-stop", "desktop"):
        commands.add_parser(name).add_argument("prefix", type=Path)
    run_parser = commands.add_parser("run")
    run_parser.add_argument("prefix", type=Path)
    run_parser.add_argument("program", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    prefix_path = options.prefix.resolve()
    if options.command == "server-start":
        return server_start(prefix_path)
    if options.command == "server-stop":
        return server_stop(prefix_path)
    if options.command == "desktop":
        return desktop(prefix_path)
    program = options.program[1:] if options.program[:1] == ["--"] else options.program
    if not program:
        parser.error("run: no program given")
    return run(prefix_path, program)


if __name__ == "__main__":
    sys.exit(main())
