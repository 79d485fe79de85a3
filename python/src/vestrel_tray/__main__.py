"""python -m vestrel_tray check STATE.ini | exe | remove-home HOME --mutex NAME

check: reads a state file as the tray program would and lists, line by line, what the program
would skip, refuse or cut, by the rules that StateFile applies. Exit code 0 when it reads
everything as written, 1 when anything would be lost, 2 when the file cannot be read.

exe: prints the path of the tray program that this package carries (exit code 1, with how to
get it, when it carries none).

remove-home: for the application's uninstaller: ends the tray of that mutex name and removes the
program's copy from HOME, the folder given to start_tray as home= (exit code 1 when the tray did
not end or the copy could not be removed).
"""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from ._build_config import WEB_HOST
from ._check import check_state_file
from ._home import remove_tray_home
from ._tray import tray_exe


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vestrel_tray",
        description="The companion application's side of the Vestrel tray program.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser(
        "check", help="list what the tray program would skip, refuse or cut in a state file",
        description="Reads STATE as the tray program would and lists, line by line, what it "
                    "would skip, refuse or cut. Exit code 1 when anything would be lost.")
    check.add_argument("state", metavar="STATE", help="the state file")
    check.add_argument("--web-host", default=WEB_HOST,
                       help=f"the web host of the program's build (default: {WEB_HOST})")
    commands.add_parser("exe", help="print the path of the tray program this package carries")
    remove = commands.add_parser(
        "remove-home", help="end the tray and remove its program from its home (uninstall)",
        description="Ends the tray started with --mutex NAME and removes the program's copy "
                    "from HOME (the home= of start_tray), and HOME when nothing else is in it.")
    remove.add_argument("home", metavar="HOME", help="the tray's home folder")
    remove.add_argument("--mutex", required=True, help="the mutex name the tray was started with")
    arguments = parser.parse_args(argv)

    if arguments.command == "remove-home":
        try:
            removed = remove_tray_home(arguments.home, mutex=arguments.mutex)
        except (OSError, ValueError) as error:
            print(error, file=sys.stderr)
            return 1
        print(f"{arguments.home}: {'removed' if removed else 'no copy of the program there'}")
        return 0

    if arguments.command == "exe":
        try:
            print(tray_exe())
        except FileNotFoundError as error:
            print(error, file=sys.stderr)
            return 1
        return 0

    path: str = arguments.state
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        print(f"{path}: cannot be read: {error.strerror or error}", file=sys.stderr)
        return 2
    findings = check_state_file(data, arguments.web_host)
    for finding in findings:
        print(finding.format(path))
    if findings:
        print(f"{path}: {len(findings)} finding(s): the program would not read this file as "
              "written", file=sys.stderr)
        return 1
    print(f"{path}: the program reads everything as written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
