"""One Wine desktop: a prefix whose programs run in its virtual desktop, drawn on a private X
display, and a persistent wineserver for it. The end-to-end suites (session.WineSession), the
tour, the benchmark (scripts/bench.py) and a person trying the package (`python3 tests/e2e/harness
desktop`) all start theirs here, in the same order: the prefix is made with no display, the X
server comes next, and the wineserver last, with the display in its programs' environment."""

from __future__ import annotations

from typing import Callable

from .prefix import WinePrefix
from .xdisplay import XDisplay


class WineDesktop:
    """The prefix and the display of one desktop, started together and ended together; the
    server and the X server die with this process even when it is killed outright."""

    def __init__(self, prefix: WinePrefix, display: XDisplay):
        self.prefix = prefix
        self.display = display

    def open(self, setup: Callable[[dict[str, str]], None] | None = None) -> None:
        """Makes the prefix unless it is ready (setup adds to a new one), then starts the X
        server and the wineserver."""
        self.prefix.ensure(setup)
        self.display.start()
        self.prefix.display = self.display.name
        self.prefix.start_server()

    def renew(self) -> None:
        """Ends every Windows program of the prefix; the next one to start brings a new desktop
        with an empty notification area. An X server that has ended is started again."""
        self.prefix.stop_server()
        self.display.ensure_running()
        self.prefix.display = self.display.name
        self.prefix.start_server()

    def close(self) -> None:
        """Ends every Windows program of the prefix, its server, then the X server."""
        self.prefix.stop_server()
        self.display.stop()
