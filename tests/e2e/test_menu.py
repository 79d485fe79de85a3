"""The real program's popup menu and balloon clicks under Wine, driven as a person would: a right
click on the icon (xdotool), a click on a command, screenshots of the menu kept.
What the program starts is recorded by record-args.exe, standing in for the interpreter (under
a path with blanks, so that only the quotes keep it one argument) and for the shell's https
handler."""

from __future__ import annotations

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIN_BALLOONUSERCLICK, TrayTestCase, read_profile, wait_until,  # noqa: E402
                     windows_path)
from harness.menu import MenuPicture, find_menu, link_rtl_scripts_font, open_menu  # noqa: E402
from harness.screen import CORNER, TRAY_ICON_CENTER  # noqa: E402
from harness.win32 import NIN_KEYSELECT  # noqa: E402

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
    MUTEX = "vestrel-e2e-menu"

    def setUp(self) -> None:
        super().setUp()
        self.pythonw = self.copy_recorder(self.work / "Python 3 e2e" / "pythonw.exe")
        self.launcher = self.work / "Vestrel app" / "launcher.pyw"
        self.start_standin()
        self.live_companion_pid()

    def write_menu_state(self, labels: dict[str, str] = LABELS,
                         notices: list[dict[str, str]] | None = None, rtl: bool = False) -> None:
        """The state file of a running companion in the server role (kept fresh for the rest of
        the test: a menu session can outlast the 90 s after which a heartbeat is too old)."""
        self.write_state(labels=labels, notices=notices or [], role="server", rtl=rtl)

    def start_menu_tray(self) -> None:
        # record-args writes what it is started with to launches_path, also as the shell's
        # handler: the environment is passed on to everything the program starts.
        self.start_tray()
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

    def mute_nudges(self) -> str | None:
        return read_profile(self.seen_path).get("prefs", {}).get("mute_nudges")

    def assert_commands_hug(self, menu: MenuPicture, side: str) -> None:
        near, far = ((menu.gap_left, menu.gap_right) if side == "left"
                     else (menu.gap_right, menu.gap_left))
        self.assertLess(near, far, f"the commands do not keep to the {side}: {menu}")

    def test_a_menu_asked_for_from_the_keyboard_opens_where_the_shell_says(self) -> None:
        """Enter on the icon that has the keyboard's focus: the shell reports NIN_KEYSELECT
        with the icon's place in wParam, while the mouse cursor rests far away (here at the
        desktop's top left; on a real machine perhaps on another display). The menu opens at
        that point, not at the cursor. Left with Escape, it hands the focus back to the
        notification area (NIM_SETFOCUS); dismissed with a click elsewhere, it leaves the focus
        alone."""
        self.write_menu_state()
        self.start_menu_tray()
        cursor = (30, 30)
        near_cursor = (0, 0, 300, 250)
        # (name, point passed, where to look, how the menu is left)
        rounds = [("at-the-icon", TRAY_ICON_CENTER, CORNER, "Escape"),
                  # A point where the whole menu fits: its top left corner is there exactly.
                  ("mid-screen", (420, 300), (380, 260, 400, 400), "click")]
        for name, anchor, area, leave in rounds:
            with self.subTest(name):
                self.session.input.move(*cursor)
                mark = self.standin.count()
                self.session.traytool.event(NIN_KEYSELECT, at=anchor)
                self.session.traytool.wait_menu()
                shot = f"keyboard-menu-{name}"
                menu = wait_until(lambda: find_menu(self.session.screen.screenshot(shot), area),
                                  "the menu to be drawn at the point passed", interval=0.1)
                self.assertIsNone(find_menu(menu.shot, near_cursor), "a menu at the cursor")
                if anchor == TRAY_ICON_CENTER:
                    # Wine moves a menu that would not fit below and right of the point into the
                    # screen's corner; it still covers the point.
                    self.assertTrue(menu.left <= anchor[0] <= menu.right and
                                    menu.top <= anchor[1] <= menu.bottom, menu)
                else:
                    self.assertLessEqual(abs(menu.left - anchor[0]), 2, menu)
                    self.assertLessEqual(abs(menu.top - anchor[1]), 2, menu)
                if leave == "Escape":
                    # Keys reach the menu while the pointer rests on it (harness/menu.py).
                    self.session.input.move((menu.left + menu.right) // 2, menu.bottom)
                    self.session.display.reset_focus()
                    self.session.input.keys("Escape")
                else:
                    self.session.input.click(60, 600)
                self.session.traytool.wait_menu_gone()
                focus = [r for r in self.standin.since(mark) if r["op"] == "setfocus"]
                self.assertEqual(len(focus), 1 if leave == "Escape" else 0,
                                 self.standin.summary())
                self.assertEqual(self.starts(), [],
                                 "a menu left without a command started something")

    def test_commands_start_the_app_and_toggle_mute(self) -> None:
        self.write_menu_state()
        self.start_menu_tray()

        # (screenshot, command, mute_nudges after, programs started after, check mark shown)
        steps = [
            ("menu", NONE, None, [], False),
            ("menu-before-mute", MUTE, "1", [], False),
            ("menu-muted", MUTE, "0", [], True),
            ("menu-before-open", OPEN, "0", [self.launch_line()], False),
            ("menu-before-stop", STOP, "0", [self.launch_line(), self.launch_line("stop")],
             False),
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
            self.assertEqual(self.starts(), starts, name)
            self.assert_commands_hug(menu, "left")
            unchecked = unchecked or menu
            # The check mark stands left of the commands' text.
            self.assertEqual(menu.gap_left < unchecked.gap_left, checked,
                             f"check mark in {name}: {menu} against {unchecked}")

    def test_right_to_left_menu(self) -> None:
        self.addCleanup(link_rtl_scripts_font(self.session))
        self.write_menu_state(HEBREW)
        self.start_menu_tray()

        # (labels, rtl, screenshot, command, side the commands keep to, programs started after);
        # the first shows that the layout, not the script, decides the side.
        cases = [(HEBREW, False, "menu-hebrew-left-to-right", NONE, "left", []),
                 (HEBREW, True, "menu-hebrew", OPEN, "right", [self.launch_line()]),
                 (ARABIC, True, "menu-arabic", STOP, "right",
                  [self.launch_line(), self.launch_line("stop")])]
        for labels, rtl, name, command, side, starts in cases:
            self.write_menu_state(labels, rtl=rtl)
            menu = self.use_menu(name, command)
            if starts:
                self.wait_for_starts(len(starts))
            self.assertEqual(self.starts(), starts, name)
            self.assert_commands_hug(menu, side)

    def test_balloon_clicks_open_the_app_screen_and_the_web_address(self) -> None:
        browser = self.copy_recorder(self.work / "Web Browser" / "browser.exe")
        self.session.registry.set_url_handler("https", browser)
        address = "https://vestrel.app/news?id=7"
        self.write_menu_state(notices=[
            {"id": "news-app", "kind": "info", "target": "app:news", "title": "News",
             "body": "Open the news screen."},
            {"id": "news-web", "kind": "info", "target": address, "title": "News online",
             "body": "Read it on the web."},
        ])
        self.start_menu_tray()

        # Marked once the shell has taken the balloon: from then on a sent click is handled
        # on its own, not in the middle of showing it.
        wait_until(lambda: "news-app" in read_profile(self.seen_path).get("shown", {}),
                   "the first balloon to be shown", timeout=60)
        self.session.traytool.event(NIN_BALLOONUSERCLICK, send=True)
        self.assertEqual(self.wait_for_starts(1), [self.launch_line("news")])

        # The click ended the first balloon, so the second one is on screen now.
        self.assertIn("news-web", read_profile(self.seen_path).get("shown", {}))
        self.session.traytool.event(NIN_BALLOONUSERCLICK, send=True)
        self.assertEqual(self.wait_for_starts(2),
                         [self.launch_line("news"), f'"{windows_path(browser)}" "{address}"'])


if __name__ == "__main__":
    harness.main()
