"""Refused targets, end to end: what a balloon click or a menu command may start. The shell's
handlers for web addresses and the interpreter are copies of record-args.exe in folders of their
own, so each writes down every command line it is started with; a target that slipped through to
the shell or to a command line would leave a line there (one that names an executable file
starts such a copy itself).

Each balloon is on screen when its click arrives, sent to the window as the shell would send it
(Wine never does); the stand-in for the notification area tells which balloon that is."""

from __future__ import annotations

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import TrayTestCase, state_sections, wait_until, windows_path  # noqa: E402
from harness.menu import choose_command  # noqa: E402
from harness.notices import (drive_pass, record_lines,  # noqa: E402
                             wait_for_no_process_mentioning)
from harness.profiles import encode_profile  # noqa: E402

LABELS = {"title": "Vestrel", "running": "Running", "stopped": "Stopped", "open": "Open",
          "stop": "Stop", "mute": "Mute tips"}
NOTICES_PER_STATE_FILE = 50
# The web handler's copy; {handler} in a target stands for its path, {handler/} for the same with
# forward slashes. No blank in it, so that only the origin test can refuse those targets.
HANDLER_DIR, HANDLER_EXE = "web-handler", "open-url.exe"
# Paths with blanks, brackets and non-ASCII letters, which must reach the command line whole.
PYTHONW_DIR, PYTHONW_EXE = "Program Files (x86)/Py Thon 3", "pythonw.exe"
LAUNCHER = "My Launcher & Co/Ünïcode/run app.pyw"

SHELL, APP = "shell", "app"
# Each target, and where it must arrive: (SHELL, the address as the handler gets it), (APP, the
# screen name), or None: nowhere. A value between double quotes keeps its blanks through the
# profile reader, which trims them otherwise; the quotes themselves are dropped.
TARGETS: list[tuple[str, tuple[str, str] | None]] = [
    # Allowed: each origin alone, with a path, query and fragment, percent-encoded characters.
    ("https://vestrel.app", (SHELL, "https://vestrel.app")),
    ("https://www.vestrel.app/", (SHELL, "https://www.vestrel.app/")),
    ("https://vestrel.app/help/sync-errors?from=tray&a=%22b%22#top",
     (SHELL, "https://vestrel.app/help/sync-errors?from=tray&a=%22b%22#top")),
    ("https://www.vestrel.app/caf%C3%A9/%20x", (SHELL, "https://www.vestrel.app/caf%C3%A9/%20x")),
    ("app:news", (APP, "news")),
    ("app:stop", (APP, "stop")),
    ("app:" + "a" * 32, (APP, "a" * 32)),
    # Off the allowed origins: other scheme, capitals, port, query or fragment straight after
    # the host, user information, another host that begins or ends like it, look-alike letters.
    ("http://vestrel.app/", None),
    ("HTTPS://vestrel.app/", None),
    ("https://Vestrel.app/", None),
    ("https://VESTREL.APP/", None),
    ("https://vestrel.app:443/", None),
    ("https://vestrel.app?x=1", None),
    ("https://vestrel.app#top", None),
    ("https://vestrel.app.evil.example/", None),
    ("https://vestrel.apps/", None),
    ("https://vestrel.app@evil.example/", None),
    ("https://user@vestrel.app/", None),
    ("https://evil.example/https://vestrel.app/", None),
    ("https://xvestrel.app/", None),
    ("https://wwwvestrel.app/", None),
    ("https://ww.vestrel.app/", None),
    ("https://www.vestrel.app.evil.example/", None),
    ("https://v\u0435strel.app/", None),  # Cyrillic e
    ("https://vestrel.app\\@evil.example/", None),
    ("https:/vestrel.app/", None),
    ("//vestrel.app/", None),
    ("vestrel.app", None),
    # On the origin, but with what could end the handler's argument or add others.
    ("https://vestrel.app/a b", None),
    ('https://vestrel.app/"x', None),
    ('https://vestrel.app/" "--new-window', None),
    ("https://vestrel.app/a\tb", None),
    ("https://vestrel.app/\u0001", None),
    ("https://vestrel.app/\u001b[0m", None),
    ("https://vestrel.app/\u007f", None),
    ('" https://vestrel.app/"', None),
    ('"https://vestrel.app/ "', None),
    # Other kinds of target, among them ones that would start a recording copy if they ran.
    ("{handler}", None),
    ("file:///{handler/}", None),
    ("mailto:help@vestrel.app", None),
    ("javascript:alert(1)", None),
    ("", None),
    # app: names outside 1-32 letters a-z, and the prefix in other letter case.
    ("app:News", None),
    ("app:NEWS", None),
    ("App:news", None),
    ("APP:news", None),
    ("app:news2", None),
    ("app:news-feed", None),
    ("app:news_feed", None),
    ("app:", None),
    ("app:" + "a" * 33, None),
    ("app:news stop", None),
    ('"app:news "', None),
    ('app:news"', None),
    ("app:news\tx", None),
    ("app:\u00f1ews", None),
    ("app:news/", None),
    ("app:../x", None),
    ("app:news&calc", None),
    ("app:news|x", None),
    ("app:news\u0001", None),
    ("app:https://vestrel.app/", None),
]


class RefusedTargets(TrayTestCase):
    MUTEX = "vestrel-e2e-refused"

    def setUp(self) -> None:
        super().setUp()
        self.handler = self.copy_recorder(self.work / HANDLER_DIR / HANDLER_EXE)
        self.pythonw = self.copy_recorder(self.work / PYTHONW_DIR / PYTHONW_EXE)
        self.launcher = self.work / LAUNCHER
        # Every scheme a target in the table uses: a refused one that slipped through to the
        # shell leaves its line too.
        for scheme in ("https", "http", "mailto", "javascript", "app"):
            self.session.registry.set_url_handler(scheme, self.handler)
        # Beside each copy: the program is started without a record file named in the
        # environment (start_tray's record_starts).
        self.opened_by_shell = self.handler.parent / "record-args.log"
        self.started_app = self.pythonw.parent / "record-args.log"
        self.live_companion_pid()

    def write_notices(self, notices: list[dict[str, str]]) -> None:
        """A running companion's state file listing these notices, whatever their targets: the
        package refuses to write most of them, so the raw codec does."""
        pid = self.live_companion_pid()
        self.write_bad_state(lambda now: encode_profile(state_sections(
            pid, written_unix=now, labels=LABELS, notices=notices)))

    def end_tray_and_its_children(self, tray: harness.Program) -> None:
        """Closes the program (whose own command line names the interpreter's copy), then
        waits until every copy it started has written its line and ended."""
        self.session.traytool.close()
        self.assertEqual(self.session.traytool.exit_code(tray), 0, tray.stderr()[-2000:])
        for copy in (self.handler, self.pythonw):
            wait_for_no_process_mentioning(windows_path(copy))

    def test_balloon_clicks_reach_only_the_allowed_targets(self) -> None:
        standin = self.start_standin(forward=False)
        expand = {"{handler}": windows_path(self.handler),
                  "{handler/}": windows_path(self.handler).replace("\\", "/")}
        targets = []
        for target, where in TARGETS:
            for placeholder, text in expand.items():
                target = target.replace(placeholder, text)
            targets.append((target, where))
        notices = [{"id": f"target-{n}", "kind": "info", "title": f"T{n}", "target": target}
                   for n, (target, _) in enumerate(targets, start=1)]
        batches = [notices[i:i + NOTICES_PER_STATE_FILE]
                   for i in range(0, len(notices), NOTICES_PER_STATE_FILE)]

        self.write_notices(batches[0])
        mark = self.start_tray_until_loop(record_starts=False)
        tray = self.tray
        for number, batch in enumerate(batches):
            if number:
                mark = standin.count()
                self.write_notices(batch)
            clicked = drive_pass(self.session, standin, mark)
            # Order and count tie each click to one row of the table: a balloon missing or
            # extra would send a click to another target than the table names.
            self.assertEqual(clicked.titles, [n["title"] for n in batch], standin.summary())
        self.end_tray_and_its_children(tray)

        self.assertEqual(
            sorted(record_lines(self.opened_by_shell)),
            sorted(f'"{windows_path(self.handler)}" "{where[1]}"'
                   for _, where in targets if where and where[0] == SHELL),
            "addresses that reached the shell's handlers")
        self.assertEqual(
            sorted(record_lines(self.started_app)),
            sorted(self.launch_line(where[1])
                   for _, where in targets if where and where[0] == APP),
            "command lines that started the companion")

    def test_menu_commands_start_exactly_the_launcher_command_lines(self) -> None:
        self.write_state(labels=LABELS, role="server")
        tray = self.start_tray(record_starts=False)
        self.session.screen.wait_for_tray_slot(filled=True, name="icon")
        # The commands below the separator: open, then stop (role server, running), then mute.
        for command, screen in (("open", ""), ("stop", "stop")):
            before = len(record_lines(self.started_app))
            choose_command(self.session, f"menu-{command}", ["open", "stop", "mute"], command)
            wait_until(lambda: len(record_lines(self.started_app)) > before,
                       f"the menu's {screen or 'open'} command to start the companion")
        self.end_tray_and_its_children(tray)
        self.assertEqual(record_lines(self.started_app),
                         [self.launch_line(), self.launch_line("stop")])
        self.assertEqual(record_lines(self.opened_by_shell), [], "the menu opened an address")


if __name__ == "__main__":
    harness.main()
