#!/usr/bin/env python3
"""Checks that the program's includes run one way: down the layers of src/, never up or sideways,
and never round in a cycle.

    scripts/check-includes.py             the problems, one a line, and a summary; exit 1 on any
    scripts/check-includes.py --list      also every include of a project header, with its verdict
    scripts/check-includes.py --self-test proves the check on small trees of its own

A file may include headers of its own folder and of folders of a lower rank, nothing else. Within
a folder, and across folders, no two modules (a .h and its .cpp count as one module) may reach
each other through includes.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import sys
import tempfile
import unittest
from dataclasses import dataclass
from pathlib import Path

# The layers of src/, top to bottom. Folders of equal rank are peers: none includes another.
#   app        start-up, options, the hidden window: knows every subsystem
#   notices    notice polling, the queue, balloons
#   tray       the notification-area record, the tooltip, the popup menu
#   actions, memory, companion
#              starting the companion and opening targets; the seen file; the state file
#   core       program-wide records and the profile-file reader that the subsystems share
#   platform   every Windows call, behind one header
RANKS: dict[str, int] = {
    "app": 6,
    "notices": 5,
    "tray": 4,
    "actions": 3,
    "memory": 3,
    "companion": 3,
    "core": 2,
    "platform": 1,
}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".cxx", ".inl"}
# A header that CMake makes from a template (src/actions/web_host.h.in becomes web_host.h in the
# build tree) belongs to the folder of its template.
TEMPLATE_SUFFIX = ".in"

_SCRIPT = "scripts/check-includes.py"
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^">\n]+)[">]', re.MULTILINE)


@dataclass(frozen=True)
class Include:
    file: Path  # relative to the source root
    line: int
    name: str  # as written between the quotes
    header: Path  # the header it names, relative to the source root


@dataclass(frozen=True)
class Finding:
    kind: str  # "upward", "peer", "cycle", "unranked", "unknown"
    file: Path
    line: int
    message: str

    def shown(self, root: Path) -> str:
        return f"{_shown(root, self.file)}:{self.line}: {self.kind}: {self.message}"


def _shown(root: Path, file: Path) -> str:
    """A path as the reader would type it from the current folder."""
    return os.path.relpath(root / file)


def strip_comments(text: str) -> str:
    """Blanks out comments, keeping every newline, so that a commented-out include is not read
    and line numbers stay true. String and character literals are skipped whole, so that "//"
    or "/*" inside them starts nothing."""
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:end]))
            i = end
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            open_paren = text.find("(", i + 2)
            delimiter = text[i + 2 : open_paren] if open_paren >= 0 else ""
            end = text.find(")" + delimiter + '"', open_paren + 1) if open_paren >= 0 else -1
            end = n if end < 0 else end + len(delimiter) + 2
            out.append(text[i:end])
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def folder_of(path: Path) -> str:
    return path.parts[0] if len(path.parts) > 1 else ""


def module_of(path: Path) -> Path:
    """launcher.h and launcher.cpp are one module; web_host.h.in stands for web_host.h."""
    if path.suffix == TEMPLATE_SUFFIX:
        path = path.with_suffix("")
    return path.with_suffix("")


def read_includes(root: Path) -> tuple[list[Path], list[Include], list[Finding]]:
    files = sorted(
        p.relative_to(root) for p in root.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES
    )
    templates: dict[str, Path] = {}
    for p in sorted(root.rglob("*" + TEMPLATE_SUFFIX)):
        templates.setdefault(p.with_suffix("").name, p.relative_to(root))
    includes: list[Include] = []
    findings: list[Finding] = []
    for file in files:
        text = strip_comments((root / file).read_text(encoding="utf-8", errors="replace"))
        for match in INCLUDE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            quoted, name = match.group(1) == '"', match.group(2).strip()
            candidates = [file.parent / name, Path(name)] if quoted else [Path(name)]
            header = next((c for c in candidates if (root / c).is_file()), None)
            if header is None and quoted:
                header = templates.get(name)
            if header is not None:
                includes.append(Include(file, line, name, Path(*_normalise(header.parts))))
            elif quoted:
                findings.append(
                    Finding("unknown", file, line, f'"{name}" names no header in the source tree')
                )
    return files, includes, findings


def _normalise(parts: tuple[str, ...]) -> list[str]:
    out: list[str] = []
    for part in parts:
        if part == "..":
            if out:
                out.pop()
        elif part != ".":
            out.append(part)
    return out


def find_cycles(includes: list[Include]) -> list[list[Path]]:
    """The groups of modules that reach one another (Tarjan's strongly connected components)."""
    graph: dict[Path, set[Path]] = {}
    for inc in includes:
        source, target = module_of(inc.file), module_of(inc.header)
        graph.setdefault(target, set())
        if source != target:
            graph.setdefault(source, set()).add(target)
    index: dict[Path, int] = {}
    low: dict[Path, int] = {}
    stack: list[Path] = []
    on_stack: set[Path] = set()
    groups: list[list[Path]] = []

    def visit(node: Path) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group: list[Path] = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(groups)


def check(root: Path) -> tuple[list[Include], list[Finding]]:
    files, includes, findings = read_includes(root)
    for file in files:
        folder = folder_of(file)
        if folder not in RANKS:
            where = f"folder {folder}/" if folder else "the top of the source tree"
            findings.append(Finding("unranked", file, 1, f"{where} has no rank in {_SCRIPT}"))
    for inc in includes:
        source, target = folder_of(inc.file), folder_of(inc.header)
        if source == target or source not in RANKS or target not in RANKS:
            continue
        if RANKS[target] > RANKS[source]:
            findings.append(
                Finding(
                    "upward",
                    inc.file,
                    inc.line,
                    f'"{inc.name}": {source} (rank {RANKS[source]}) may not include '
                    f"{target} (rank {RANKS[target]})",
                )
            )
        elif RANKS[target] == RANKS[source]:
            findings.append(
                Finding(
                    "peer",
                    inc.file,
                    inc.line,
                    f'"{inc.name}": {source} and {target} are peers (rank {RANKS[source]}) '
                    "and may not include each other",
                )
            )
    for group in find_cycles(includes):
        members = set(group)
        names = ", ".join(str(m) for m in group)
        for inc in includes:
            source, target = module_of(inc.file), module_of(inc.header)
            if source != target and source in members and target in members:
                findings.append(
                    Finding("cycle", inc.file, inc.line, f'"{inc.name}" closes a cycle of {names}')
                )
    findings.sort(key=lambda f: (str(f.file), f.line, f.kind))
    return includes, findings


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--root",
        type=Path,
        default=Path(__file__).resolve().parent.parent / "src",
        help="the source tree (default: src/ of this repository)",
    )
    parser.add_argument("--list", action="store_true", help="print every project include")
    parser.add_argument("--self-test", action="store_true", help="prove the check and exit")
    args = parser.parse_args(argv)
    if args.self_test:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(CheckIncludesTest)
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=1).run(suite)
        return 0 if result.wasSuccessful() else 1

    includes, findings = check(args.root)
    if args.list:
        flagged = {(f.file, f.line) for f in findings}
        for inc in includes:
            mark = "FAIL" if (inc.file, inc.line) in flagged else "ok"
            print(f"{mark:4}  {_shown(args.root, inc.file)}:{inc.line}: {inc.name}")
    for finding in findings:
        print(finding.shown(args.root))
    files = len({inc.file for inc in includes})
    if findings:
        print(f"check-includes: {len(findings)} problem(s) in {len(includes)} project includes")
        return 1
    print(f"check-includes: {len(includes)} project includes in {files} files run downward")
    return 0


class CheckIncludesTest(unittest.TestCase):
    """Each case is a tiny source tree and the findings it must give, as (kind, file, line)."""

    CASES: list[tuple[str, dict[str, str], set[tuple[str, str, int]]]] = [
        (
            "downward, same folder and generated headers pass",
            {
                "app/main.cpp": '#include "app/startup.h"\n#include "tray/icon.h"\n',
                "app/startup.h": '#include "core/records.h"\n',
                "tray/icon.cpp": '#include "icon.h"\n#include "platform/platform.h"\n',
                "tray/icon.h": "#include <windows.h>\n",
                "actions/target.cpp": '#include "web_host.h"\n#include "core/records.h"\n',
                "actions/web_host.h.in": "",
                "core/records.h": '#include "platform/platform.h"\n',
                "platform/platform.h": "",
            },
            set(),
        ),
        (
            "upward include",
            {
                "memory/seen.cpp": '#include "memory/seen.h"\n\n#include "app/options.h"\n',
                "memory/seen.h": "",
                "app/options.h": "",
            },
            {("upward", "memory/seen.cpp", 3)},
        ),
        (
            "upward include of a header in another folder by a relative path",
            {"core/a.cpp": '#include "../tray/b.h"\n', "tray/b.h": ""},
            {("upward", "core/a.cpp", 1)},
        ),
        (
            "peer include",
            {
                "memory/seen.cpp": '#include "companion/state.h"\n',
                "companion/state.h": "",
            },
            {("peer", "memory/seen.cpp", 1)},
        ),
        (
            "cycle between two modules of one folder",
            {
                "notices/queue.h": "",
                "notices/queue.cpp": '#include "notices/queue.h"\n#include "notices/balloon.h"\n',
                "notices/balloon.h": "",
                "notices/balloon.cpp": '#include "notices/queue.h"\n',
            },
            {("cycle", "notices/queue.cpp", 2), ("cycle", "notices/balloon.cpp", 1)},
        ),
        (
            "cycle through three headers",
            {
                "tray/a.h": '#include "tray/b.h"\n',
                "tray/b.h": '#include "tray/c.h"\n',
                "tray/c.h": '#include "tray/a.h"\n',
            },
            {("cycle", "tray/a.h", 1), ("cycle", "tray/b.h", 1), ("cycle", "tray/c.h", 1)},
        ),
        (
            "commented-out includes and comment markers in strings are not read",
            {
                "platform/p.cpp": (
                    '// #include "app/x.h"\n'
                    '/* #include "app/x.h"\n'
                    '   #include "app/x.h" */\n'
                    'const char* u = "http://a/*";\n'
                    '#include "app/x.h"\n'
                ),
                "app/x.h": "",
            },
            {("upward", "platform/p.cpp", 5)},
        ),
        (
            "a folder without a rank and a header that is nowhere",
            {
                "extra/x.cpp": '#include "platform/p.h"\n',
                "platform/p.h": "",
                "tray/t.cpp": '#include "missing.h"\n',
            },
            {("unranked", "extra/x.cpp", 1), ("unknown", "tray/t.cpp", 1)},
        ),
    ]

    def test_cases(self) -> None:
        for name, tree, expected in self.CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                root = Path(tmp)
                for rel, text in tree.items():
                    (root / rel).parent.mkdir(parents=True, exist_ok=True)
                    (root / rel).write_text(text, encoding="utf-8")
                _, findings = check(root)
                got = {(f.kind, f.file.as_posix(), f.line) for f in findings}
                self.assertEqual(got, expected, "\n".join(f.shown(root) for f in findings))

    def test_exit_status(self) -> None:
        with tempfile.TemporaryDirectory() as tmp:
            root = Path(tmp)
            (root / "platform").mkdir()
            (root / "platform" / "p.h").write_text('#include "app/a.h"\n', encoding="utf-8")
            (root / "app").mkdir()
            (root / "app" / "a.h").write_text('#include "platform/p.h"\n', encoding="utf-8")
            with contextlib.redirect_stdout(io.StringIO()) as out:
                self.assertEqual(main(["--root", str(root)]), 1)
            self.assertIn("platform/p.h:1: upward:", out.getvalue())
            (root / "platform" / "p.h").write_text("", encoding="utf-8")
            with contextlib.redirect_stdout(io.StringIO()):
                self.assertEqual(main(["--root", str(root)]), 0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
