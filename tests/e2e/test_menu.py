"""The real program's popup menu and balloon clicks under Wine, driven as a person would: a right
click on the icon (xdotool), a click on a command, screenshots of the menu kept.
What the program starts is recorded by record-args.exe, standing in for the interpreter (under
a path with blanks, so that only the quotes keep it one argument) and for the shell's https
handler."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (CompanionState, NIN_BALLOONUSERCLICK, TrayTestCase, read_profile,  # noqa: E402
                     wait_until, windows_path)
from harness.menu import MenuPicture, link_rtl_scripts_font, open_menu  # noqa: E402

MUTEX = "vestrel-e2e-menu"
LABELS = {"title": "Vestrel", "running": "Vestrel is running", "stopped": "Stopped",
          "open": "Open", "stop": "Stop", "mute": "Mute tips"}
# The status line is the longest, so the commands leave room on one side: the side tells the
# layout.
HEBREW = {"title": "וסטרל", "running": "וסטרל פועל ומסונכרן כעת", "stopped": "וסטרל נעצר",
          "open": "פתח", "stop": "עצור", "mute": "השתק עצות"}
ARABIC = {"title": "فيستريل", "running": "فيستريل يعمل ومتزامن الآن", "stopped": "متوقف",
          "open": "افتح", "stop": "أوقف", "mute": "كتم النصائح"}

# The commands below the separator, top to bottom (the companion runs in the server role), and
# None for closing the menu without one.
COMMANDS = ["open", "stop", "mute"]
OPEN, STOP, MUTE, NONE = "open", "stop", "mute", None


class TrayMenu(TrayTestCase):
    companion: CompanionState

    def setUp(self) -> None:
        super().setUp()
        self.state = self.work / "state.ini"
        self.seen = self.work / "seen.ini"
        self.record = self.work / "started.log"
        self.pythonw = self.copy_recorder(self.work / "Python 3 e2e" / "pythonw.exe")
        self.launcher = self.work / "Vestrel app" / "launcher.pyw"
        self.standin = self.session.start_standin()
        self.companion_pid = self.live_companion_pid()

    def copy_recorder(self, path: Path) -> Path:
        path.parent.mkdir(parents=True)
        shutil.copy2(self.session.config.tool("record-args"), path)
        return path

    def write_state(self, labels: dict[str, str] = LABELS, notices: list[dict] = (),
                    **state: str | int) -> None:
        """The state file of a running companion, kept fresh for the rest of the test: a menu
        session can outlast the 90 s after which a heartbeat is too old."""
        fields = dict(labels=labels, notices=notices, extra={"role": "server", **state})
        if hasattr(self, "companion"):
            self.companion.update(**fields)
        else:
            self.companion = self.companion_state(self.state, self.companion_pid, **fields)

    def start_tray(self) -> None:
        args = self.session.tray_args(mutex=MUTEX, state=self.state, seen=self.seen,
                                      pythonw=self.pythonw, launcher=self.launcher)
        # Passed on to everything the program starts, the shell's handlers included.
        self.tray, self.window = self.session.start_watched_tray(
            args, env={"VESTREL_RECORD_FILE": windows_path(self.record)})
        self.session.screen.wait_for_tray_slot(filled=True, name="icon", timeout=60)

    def use_menu(self, name: str, command: str | None) -> MenuPicture:
        """Opens the menu (its picture kept as `name`), checks that it shows the three commands,
        and chooses one, or closes it without one; the picture is taken before."""
        menu = open_menu(self.session, name)
        if menu.commands != len(COMMANDS):
            menu.dismiss()
            self.fail(f"{name}: the menu shows {menu.commands} commands, not {COMMANDS}")
        if command is None:
            menu.dismiss()
        else:
            menu.choose(COMMANDS.index(command))
        return menu.picture

    def launch(self, screen: str | None = None) -> str:
        line = f'"{windows_path(self.pythonw)}" -I "{windows_path(self.launcher)}"'
        return line + (f" --screen {screen}" if screen else "")

    def started(self) -> list[str]:
        return self.record.read_text(encoding="utf-8").splitlines() if self.record.exists() else []

    def wait_for_starts(self, count: int) -> list[str]:
        return wait_until(lambda: len(self.started()) >= count and self.started(),
                          f"{count} programs started by the tray program", timeout=30)

    def mute_nudges(self) -> str | None:
        return read_profile(self.seen).get("prefs", {}).get("mute_nudges")

    def assert_commands_hug(self, menu: MenuPicture, side: str) -> None:
        near, far = ((menu.gap_left, menu.gap_right) if side == "left"
                     else (menu.gap_right, menu.gap_left))
        self.assertLess(near, far, f"the commands do not keep to the {side}: {menu}")

    def test_commands_start_the_app_and_toggle_mute(self) -> None:
        self.write_state()
        self.start_tray()

        # (screenshot, command, mute_nudges after, programs started after, check mark shown)
        steps = [
            ("menu", NONE, None, [], False),
            ("menu-before-mute", MUTE, "1", [], False),
            ("menu-muted", MUTE, "0", [], True),
            ("menu-before-open", OPEN, "0", [self.launch()], False),
            ("menu-before-stop", STOP, "0", [self.launch(), self.launch("stop")], False),
        ]
        unchecked: MenuPicture | None = None
        # One after the other, each on what the ones before left; the menu is closed before
        # anything is checked, so that a failure leaves no menu open behind it.
        for name, command, mute, starts, checked in steps:
            menu = self.use_menu(name, command)
            wait_until(lambda: self.mute_nudges() == mute, f"mute_nudges={mute} after {name}")
            if starts:
                self.wait_for_starts(len(starts))
            # Closing without a command and mute start nothing: a start of theirs would stand before the later ones.
            self.assertEqual(self.started(), starts, name)
            self.assert_commands_hug(menu, "left")
            unchecked = unchecked or menu
            # The check mark stands left of the commands' text.
            self.assertEqual(menu.gap_left < unchecked.gap_left, checked,
                             f"check mark in {name}: {menu} against {unchecked}")

    def test_right_to_left_menu(self) -> None:
        self.addCleanup(link_rtl_scripts_font(self.session))
        self.write_state(HEBREW)
        self.start_tray()

        # (labels, rtl, screenshot, command, side the commands keep to, programs started after);
        # the first shows that the layout, not the script, decides the side.
        cases = [(HEBREW, 0, "menu-hebrew-left-to-right", NONE, "left", []),
                 (HEBREW, 1, "menu-hebrew", OPEN, "right", [self.launch()]),
                 (ARABIC, 1, "menu-arabic", STOP, "right", [self.launch(), self.launch("stop")])]
        for labels, rtl, name, command, side, starts in cases:
            self.write_state(labels, rtl=rtl)
            menu = self.use_menu(name, command)
            if starts:
                self.wait_for_starts(len(starts))
            self.assertEqual(self.started(), starts, name)
            self.assert_commands_hug(menu, side)

    def test_balloon_clicks_open_the_app_screen_and_the_web_address(self) -> None:
        browser = self.copy_recorder(self.work / "Web Browser" / "browser.exe")
        self.session.registry.set_url_handler("https", browser)
        address = "https://vestrel.app/news?id=7"
        self.write_state(notices=[
            {"id": "news-app", "kind": "info", "target": "app:news", "title": "News",
             "body": "Open the news screen."},
            {"id": "news-web", "kind": "info", "target": address, "title": "News online",
             "body": "Read it on the web."},
        ])
        self.start_tray()

        # Marked once the shell has taken the balloon: from then on a sent click is handled
        # on its own, not in the middle of showing it.
        wait_until(lambda: "news-app" in read_profile(self.seen).get("shown", {}),
                   "the first balloon to be shown", timeout=60)
        self.session.traytool.event(NIN_BALLOONUSERCLICK, send=True)
        self.assertEqual(self.wait_for_starts(1), [self.launch("news")])

        # The click ended the first balloon, so the second one is on screen now.
        self.assertIn("news-web", read_profile(self.seen).get("shown", {}))
        self.session.traytool.event(NIN_BALLOONUSERCLICK, send=True)
        self.assertEqual(self.wait_for_starts(2),
                         [self.launch("news"), f'"{windows_path(browser)}" "{address}"'])


if __name__ == "__main__":
    harness.main()
