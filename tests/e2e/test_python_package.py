"""The Python package (python/src/vestrel_tray) against the real program under Wine.

A process on Linux writes the state file with StateFile, its pid that of a live Windows process,
and keeps it fresh with Heartbeat. The program shows the labels in its tooltip, an added notice
as a balloon with its texts exactly as given (blanks and quotes at the ends included) and marks it
in the seen file, "update waiting", and "stopped" once the heartbeat has ended; a notice removed
while the application counted as stopped never comes out, and the notice that took its section
does.

start_tray and the tray's home against the real program: the package runs here on Linux and
believes itself on Windows; its process start runs the program under Wine (through `traytool
run`, which reports the exit code and the Windows error of CreateProcessW as Windows gives
them), and its few ctypes calls (OpenMutexW, FindWindowExW, GetWindowTextW, PostMessageW,
GetWindowThreadProcessId) are made by traytool inside Wine. The package's own logic is the one
under test: what it makes of the program's start, its exit codes and Windows' refusal, and the
update of the home's copy while its tray runs."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Sequence
from unittest import mock

sys.dont_write_bytecode = True  # keep the source tree clean

import harness  # noqa: E402
from harness import (NIF_TIP, NIN_BALLOONTIMEOUT, TrayTestCase, balloon_texts,  # noqa: E402
                     fields, read_profile, wait_until, windows_path)
from harness.programs import die_with_parent  # noqa: E402
from harness.traytool import WINE_ERRORS  # noqa: E402
# The package as its developers use it, straight from its source folder (harness.companion
# puts python/src first on the path).
from vestrel_tray import (Heartbeat, StateFile, TrayStartError, _windows,  # noqa: E402
                          remove_tray_home, start_tray)
from vestrel_tray._windows import System, TrayProcess, WindowsApi  # noqa: E402

ERROR_FILE_NOT_FOUND, ERROR_ALREADY_EXISTS = 2, 183

LABELS = {"title": "Vestrel – ספרייה", "stopped": "Gestoppt", "running": "Läuft",
          "update_waiting": "Update bereit"}
TITLE = LABELS["title"]


class PythonPackage(TrayTestCase):
    MUTEX = "vestrel-e2e-package"

    def balloons(self) -> list[tuple[str, str]]:
        return [(title, text) for title, text, _ in balloon_texts(self.standin.records())]

    def tooltip_after_tick(self) -> str:
        """The tooltip that a tick, sent and so handled in full, gives the icon."""
        mark = self.standin.count()
        self.session.traytool.tick(send=True)
        tips = [r["szTip"] for r in self.standin.since(mark) if r["uFlags"] & NIF_TIP]
        self.assertTrue(tips, f"the tick did not touch the icon: {self.standin.summary()}")
        return tips[-1]

    def wait_for_mark(self, notice_id: str) -> None:
        wait_until(lambda: read_profile(self.seen_path).get("shown", {}).get(notice_id) == "1",
                   f"{notice_id} marked in the seen file")

    def test_the_program_follows_what_the_package_writes(self) -> None:
        self.start_standin()
        # Written by the test itself, not by the kit's write_state: the package is under test.
        state = StateFile(self.state_path)
        state.pid = self.live_companion_pid()
        state.labels.update(**LABELS)

        with Heartbeat(state, every=10):
            tray = self.start_tray()
            added = self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")
            self.assertEqual(added["szTip"], f"{TITLE}\nLäuft")

            mark = self.standin.count()
            state.add_notice("pkg-welcome", "info", '"Willkommen"', " Zwei neue Titel. ")
            state.write()
            self.session.traytool.tick(send=True)
            self.standin.wait_for(lambda r: bool(balloon_texts([r])), "the notice's balloon",
                                  after=mark)
            self.assertEqual(self.balloons(), [('"Willkommen"', " Zwei neue Titel. ")])
            self.wait_for_mark("pkg-welcome")

            state.status = "update_waiting"
            state.write()
            self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nUpdate bereit")
            self.session.traytool.event(NIN_BALLOONTIMEOUT, send=True)

        # The heartbeat has written the file of an ended application.
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nGestoppt")

        # Listed while stopped, so never read; then withdrawn, and its section taken by another.
        state.add_notice("pkg-withdrawn", "danger", "Withdrawn")
        state.write_stopped()
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nGestoppt")
        state.remove_notice("pkg-withdrawn")
        self.assertEqual(state.add_notice("pkg-later", "info", "Later").section, 2)
        state.status = "running"
        state.write()
        self.assertEqual(self.tooltip_after_tick(), f"{TITLE}\nLäuft")
        self.wait_for_mark("pkg-later")
        self.assertEqual(self.balloons(),
                         [('"Willkommen"', " Zwei neue Titel. "), ("Later", " ")])
        self.assertEqual(sorted(read_profile(self.seen_path)["shown"]),
                         ["pkg-later", "pkg-welcome"])

        self.session.traytool.close()
        self.assert_tray_ended(tray)


class WineTray(TrayProcess):
    """A program run under Wine by `traytool run`, which lives as long as the program and prints
    its Windows pid, then its exit code as Windows reports it: poll() gives that code, which
    Wine's loader cannot garble on the way out."""

    def __init__(self, command: Sequence[str], output: Path, env: dict[str, str]):
        self.output = output
        self.command = list(command)
        with open(output, "wb") as out, open(output.with_suffix(".err"), "wb") as err:
            super().__init__(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                             stderr=err, preexec_fn=die_with_parent)

    def said(self, key: str) -> int | None:
        for line in self.output.read_text(errors="replace").splitlines():
            if line.startswith(f"{key}="):
                return int(fields(line)[key])
        return None

    def poll(self) -> int | None:
        if super().poll() is None:
            return None
        code = self.said("exit")
        if code is not None:
            self.returncode = code
        return self.returncode


class WineWindows(System):
    """The package's view of the machine: Windows, with files on Linux (their paths turned into
    Windows ones only on the command line), and programs started under Wine."""

    def __init__(self, case: TrayTestCase, drop: str = ""):
        self.case = case
        self.drop = drop  # an option left out of the command line, as a program of another
        #                   version would miss it
        self.started: list[WineTray] = []

    @property
    def windows(self) -> bool:
        return True

    def start(self, command: Sequence[str], *, cwd: str, creationflags: int) -> TrayProcess:
        words = [windows_path(word) if word.startswith("/") else word for word in command]
        if self.drop:
            at = words.index(self.drop)
            del words[at:at + 2]
        session = self.case.session
        tool = session.config.tool("traytool")
        output = session.work / f"start-{len(self.started) + 1}.out"
        tray = WineTray(["wine", str(tool), "run", "--", *words], output,
                        session.env(WINE_ERRORS))
        self.started.append(tray)
        self.case.addCleanup(tray.kill)
        # As Python on Windows: the start returns once the process exists, and raises the
        # error with which CreateProcessW refused the program.
        started = wait_until(lambda: tray.said("pid") is not None or tray.poll() is not None,
                             "traytool run to start the program or say why not", timeout=60)
        assert started
        if tray.said("pid") is None:
            said = output.with_suffix(".err").read_text(errors="replace")
            refused = re.search(r"cannot start .* \(error (\d+)\)", said)
            assert refused, f"traytool run ended with {tray.returncode}: {said!r}"
            error = OSError(22, f"CreateProcessW failed for {words[0]}")
            setattr(error, "winerror", int(refused.group(1)))
            raise error
        return tray


class WineCalls:
    """The package's ctypes calls, made by traytool inside Wine. traytool finds the one window
    of the tray's class with exactly the given title, which is all the package looks for."""

    def __init__(self, case: TrayTestCase, system: WineWindows):
        self.tool = case.session.traytool
        self.system = system
        self.error = 0
        self.found: dict[int, tuple[str, int]] = {}  # window: (title, Windows pid)

    def api(self) -> WindowsApi:
        return WindowsApi(user32=self, kernel32=self, last_error=lambda: self.error)

    def OpenMutexW(self, access: int, inherit: bool, name: str) -> int | None:
        created, error = self.tool.probe_mutex(name)
        if created and error == ERROR_ALREADY_EXISTS:
            return 1
        self.error = ERROR_FILE_NOT_FOUND if created else error
        return None

    def CloseHandle(self, handle: int) -> int:
        return 1

    def FindWindowExW(self, parent: int | None, after: int | None, class_name: str | None,
                      window_name: str | None) -> int | None:
        assert parent is None and window_name is not None
        if after is not None:
            return None
        line = self.tool.query("wait", "--timeout-ms", "0", "--title", window_name,
                               result="hwnd=")
        if line is None:
            return None
        found = fields(line)
        self.found[int(found["hwnd"])] = (window_name, int(found["pid"]))
        return int(found["hwnd"])

    def GetWindowTextW(self, window: int, buffer: Any, size: int) -> int:
        buffer.value = self.found[window][0][:size - 1]
        return len(buffer.value)

    def PostMessageW(self, window: int, message: int, wparam: int, lparam: int) -> int:
        assert message == 0x0010, "the package only ever closes the tray"
        self.tool.close(title=self.found[window][0])
        return 1

    def GetWindowThreadProcessId(self, window: int, process_id: Any) -> int:
        # The package knows its processes by their Linux pid; traytool run told the Windows one.
        windows_pid = self.found[window][1]
        owner = next((t.pid for t in self.system.started if t.said("pid") == windows_pid), 0)
        process_id._obj.value = owner
        return 1


class StartTrayUnderWine(TrayTestCase):
    MUTEX = "vestrel-e2e-start"

    def setUp(self) -> None:
        super().setUp()
        self.start_standin()
        self.write_state(labels={"title": "Vestrel", "running": "Läuft"})
        self.system = self.use_windows()

    def use_windows(self, drop: str = "") -> WineWindows:
        system = WineWindows(self, drop)
        calls = WineCalls(self, system)
        for name, value in (("system", lambda: system), ("windows_api", calls.api)):
            patch = mock.patch.object(_windows, name, value)
            patch.start()
            self.addCleanup(patch.stop)
        return system

    def start(self, exe: Path, **options: Any) -> TrayProcess:
        return start_tray(mutex=self.MUTEX, state=self.state_path, seen=self.seen_path,
                          pythonw=self.pythonw, launcher=self.work / "launch.py", exe=exe,
                          **options)

    def adds(self) -> list[int]:
        """The windows whose icon the notification area added, in order."""
        return [r["hwnd"] for r in self.standin.records() if r["op"] == "add"]

    def window(self) -> dict[str, int]:
        return self.session.traytool.wait_for_window(title=self.MUTEX)

    def test_start_tray_sees_the_program_run_or_end_at_once(self) -> None:
        (self.work / "launch.py").write_text("")
        exe = self.session.config.tray_exe
        tray = self.start(exe)
        self.assertIsNone(tray.poll())
        self.assertFalse(tray.already_running)
        first = self.window()
        self.assertEqual(first["pid"], self.system.started[0].said("pid"))
        self.standin.wait_for(lambda r: r["op"] == "add", "the icon to be added")

        # A second start finds the mutex taken: no error, and the first tray stays.
        again = self.start(exe)
        self.assertEqual((again.already_running, again.poll()), (True, 0))
        self.assertIsNone(tray.poll())

        # A program that misses an option on its command line ends with 2.
        self.system.drop = "--launcher"
        with self.assertRaises(TrayStartError) as raised:
            self.start(exe)
        self.assertEqual((raised.exception.reason, raised.exception.exit_code),
                         ("bad_command_line", 2))
        self.assertIn("ended at once with exit code 2", str(raised.exception))
        self.system.drop = ""

        # A file that is no program: Windows refuses it.
        not_a_program = self.work / "vestrel-tray.exe"
        not_a_program.write_text("not a program\n")
        with self.assertRaises(TrayStartError) as refused:
            self.start(not_a_program)
        self.assertEqual((refused.exception.reason, refused.exception.windows_error),
                         ("not_a_program", 193))

        self.assertEqual(self.window(), first)
        self.assertEqual(self.adds(), [first["hwnd"]])
        self.session.traytool.close(title=self.MUTEX)
        wait_until(lambda: tray.poll() is not None, "the tray to end")
        self.assertEqual(tray.poll(), 0)

    def test_the_home_copy_is_replaced_after_its_tray_has_ended(self) -> None:
        (self.work / "launch.py").write_text("")
        home = self.work / "LocalAppData" / "Vestrel" / "tray"
        copy = home / "vestrel-tray.exe"
        built = self.session.config.tray_exe.read_bytes()
        old = self.start(self.session.config.tray_exe, home=home)
        self.assertEqual(copy.read_bytes(), built)
        self.assertEqual(self.system.started[0].command[4], windows_path(copy))
        first = self.window()
        self.standin.wait_for(lambda r: r["op"] == "add", "the first icon")

        # Another release of the program (the loader ignores data past the image).
        newer = self.work / "site-packages" / "vestrel_tray" / "vestrel-tray.exe"
        newer.parent.mkdir(parents=True)
        newer.write_bytes(built + b"release 2".ljust(512, b"\0"))
        new = self.start(newer, home=home)

        self.assertEqual(old.poll(), 0, "the old tray was not ended")
        self.assertIsNone(new.poll())
        self.assertEqual(copy.read_bytes(), newer.read_bytes())
        self.assertEqual(sorted(os.listdir(home)), ["vestrel-tray.exe"])
        self.assertEqual(self.system.started[1].command[4], windows_path(copy))
        second = self.window()
        self.assertNotEqual(second["pid"], first["pid"])
        self.standin.wait_for(lambda r: r["op"] == "add" and r["hwnd"] == second["hwnd"],
                              "the new tray's icon")
        ops = [(r["op"], r["hwnd"]) for r in self.standin.records() if r["op"] in ("add", "delete")]
        self.assertEqual(ops, [("add", first["hwnd"]), ("delete", first["hwnd"]),
                               ("add", second["hwnd"])])

        # The uninstaller's removal ends the tray and takes the home away.
        self.assertTrue(remove_tray_home(home, mutex=self.MUTEX))
        self.assertEqual(new.poll(), 0)
        self.assertFalse(home.exists())


if __name__ == "__main__":
    harness.main()
