"""How the real program ends when it must not run: bad command lines, a second instance, a
mutex name that the platform turns down. In none of these may it put an icon up."""

from __future__ import annotations

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import TrayTestCase  # noqa: E402

# ERROR_ALREADY_EXISTS, ERROR_PATH_NOT_FOUND, ERROR_BAD_PATHNAME, ERROR_INVALID_HANDLE
ALREADY_EXISTS, PATH_NOT_FOUND, BAD_PATHNAME, INVALID_HANDLE = 183, 3, 161, 6


class StartupExitCodes(TrayTestCase):
    MUTEX = "vestrel-e2e-startup"

    def setUp(self) -> None:
        super().setUp()
        # Any icon the program put up by mistake would show here.
        self.start_standin(forward=False)
        self.write_state(labels={"title": "T", "running": "R"})
        self.good = dict(zip(["--mutex", "--state", "--seen", "--pythonw", "--launcher"],
                             self.tray_args()[1::2]))

    def command_line(self, *, drop: str = "", replace: dict[str, str] | None = None,
                     rename: dict[str, str] | None = None) -> list[str]:
        args: list[str] = []
        for option, value in self.good.items():
            if option == drop:
                continue
            args += [(rename or {}).get(option, option), (replace or {}).get(option, value)]
        return args

    def run_tray(self, args: list[str]) -> int:
        """The program's exit code as Windows reports it."""
        return self.session.traytool.run_to_exit(self.session.config.tray_exe, *args, timeout=10)

    def assert_no_icon_requested(self) -> None:
        self.assertEqual(self.standin.records(), [],
                         f"requests to the notification area: {self.standin.summary()}")

    def test_incomplete_command_lines_end_with_2(self) -> None:
        cases = {
            "no arguments": [],
            "without --mutex": self.command_line(drop="--mutex"),
            "without --state": self.command_line(drop="--state"),
            "without --seen": self.command_line(drop="--seen"),
            "without --pythonw": self.command_line(drop="--pythonw"),
            "without --launcher": self.command_line(drop="--launcher"),
            "empty --launcher value": self.command_line(replace={"--launcher": ""}),
            "option in capitals": self.command_line(rename={"--state": "--STATE"}),
            "option joined by =": (self.command_line(drop="--state")
                                   + ["--state=" + self.good["--state"]]),
            "--mutex swallowing the next option": (
                ["--mutex"] + self.command_line(drop="--mutex")),
        }
        for case, args in cases.items():
            with self.subTest(case):
                self.assertEqual(self.run_tray(args), 2, args)
        self.assert_no_icon_requested()

    def test_the_five_options_in_another_order_start_the_program(self) -> None:
        # The counterpart of the table above: the same values, complete, do start it.
        args = [a for o in reversed(list(self.good)) for a in (o, self.good[o])]
        tray = self.start_tray(args)
        self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
        self.session.traytool.close(send=True)
        self.assert_tray_ended(tray)

    def test_second_instance_ends_with_0_while_the_first_runs(self) -> None:
        first = self.start_tray(self.command_line())
        window = self.window
        self.standin.wait_for(lambda r: r["op"] == "setversion", "the first instance's icon")
        before = self.standin.count()

        self.assertEqual(self.run_tray(self.command_line()), 0)

        self.assertTrue(first.running(), "the first instance ended too")
        self.assertEqual(self.session.traytool.wait_for_window(), window,
                         "the first instance's window is no longer the only one")
        # The first instance's own timer may modify its icon meanwhile; nothing else may come.
        strangers = [r for r in self.standin.since(before)
                     if r["hwnd"] != window["hwnd"] or r["op"] != "modify"]
        self.assertEqual(strangers, [], "the second instance talked to the notification area")
        # An options-less second instance is refused before it looks at the mutex.
        self.assertEqual(self.run_tray([]), 2)

    def test_mutex_the_platform_will_not_create_ends_with_0(self) -> None:
        self.session.traytool.hold("--event", "vestrel-e2e-event", "--mutex", "vestrel-e2e-held")
        cases = {
            # (name, error that CreateMutexW gives for it under Wine 8; measured below too)
            "held by another process": ("vestrel-e2e-held", ALREADY_EXISTS),
            "a folder that does not exist": ("vestrel\\e2e", PATH_NOT_FOUND),
            "a namespace that does not exist": ("Nowhere\\vestrel-e2e", PATH_NOT_FOUND),
            "a leading backslash": ("\\vestrel-e2e", BAD_PATHNAME),
            "the name of an event": ("vestrel-e2e-event", INVALID_HANDLE),
        }
        for case, (name, error) in cases.items():
            with self.subTest(case):
                created = 1 if error == ALREADY_EXISTS else 0
                self.assertEqual(self.session.traytool.probe_mutex(name), (created, error),
                                 f"the platform treats {name!r} differently than measured")
                self.assertEqual(self.run_tray(self.command_line(replace={"--mutex": name})), 0)
        self.assert_no_icon_requested()


if __name__ == "__main__":
    harness.main()
