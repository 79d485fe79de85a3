"""The benchmark: builds the program and its benchmarks with MinGW-w64, then measures them under
Wine, in a Wine desktop of the end-to-end bench (tests/e2e/harness: a prefix of its own, made once
with a 1024x768 virtual desktop, a private X display and a persistent wineserver):
  1. that one timer tick makes exactly the calls of its floor (through the recording fake),
  2. the time of a tick against that floor, on the heaviest steady state,
  3. the working set and private bytes of the running program next to a minimal tray program,
  4. the size of the shipped program.
Prints each figure beside its goal (docs/performance.md). Every process it starts is ended when
it exits, also when it fails or is interrupted.

    scripts/bench.sh [--build-dir DIR] [--rounds N] [--ticks N] [--no-setup]

scripts/bench.sh runs the setup script first (unless --no-setup), then this driver. Without
--build-dir it uses the 'mingw' preset's build tree; a relative DIR is taken from the top of the
source tree. --rounds and --ticks are passed to the tick benchmark. The figures are also kept in
DIR/bench-results.txt.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.dont_write_bytecode = True  # keep the source tree clean
ROOT = Path(__file__).resolve().parents[1]
# The end-to-end bench's package (tests/e2e/harness): the one place this script reaches into.
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness import Program, fields, windows_path  # noqa: E402
from harness.desktop import WineDesktop  # noqa: E402
from harness.footprint import unique_bytes  # noqa: E402
from harness.prefix import WinePrefix  # noqa: E402
from harness.programs import Finished, Programs  # noqa: E402
from harness.xdisplay import XDisplay  # noqa: E402

KIB = 1024
# Goals (docs/performance.md): the running program at most 512 KiB above the minimal tray
# program, the shipped program at most 384 KiB.
MEMORY_GOAL = 512 * KIB
SIZE_GOAL = 384 * KIB
# Settled samples of both programs' memory, a second apart, each after this many ticks of the
# program; then one more after many more ticks, to see whether anything grows with their number.
SAMPLES = 5
TICKS_PER_SAMPLE = 20
# Rounds of the footprint, each with both programs started anew on a fresh desktop.
FOOTPRINT_ROUNDS = 3
MORE_TICKS = 300
PROGRAM_CLASS = "VestrelTrayWindow"
MINIMAL_CLASS = "VestrelMinimalTrayWindow"


class BenchFailed(Exception):
    """A step that did not give its figure; the run stops with exit status 1."""


class Results:
    """Each line of the report, printed and kept in bench-results.txt."""

    def __init__(self, path: Path):
        self.path = path
        path.write_text("")

    def say(self, text: str = "") -> None:
        for line in text.splitlines() or [""]:
            print(line, flush=True)
            with open(self.path, "a") as results:
                results.write(line + "\n")


def kib(size: float) -> str:
    return f"{size / KIB:.0f} KiB"


def verdict(met: bool) -> str:
    return "met" if met else "NOT met"


@dataclass(frozen=True)
class Spread:
    """The median (the lower of the middle two for an even count), min and max of samples."""
    median: int
    low: int
    high: int

    @classmethod
    def of(cls, values: list[int]) -> Spread:
        ordered = sorted(values)
        return cls(ordered[(len(ordered) - 1) // 2], ordered[0], ordered[-1])

    def text(self) -> str:
        return f"{kib(self.median)} ({kib(self.low)}..{kib(self.high)})"


# ---------------------------------------------------------------------------------------------
# Building


def cache_value(build: Path, name: str) -> str | None:
    """A value of the build tree's CMakeCache.txt."""
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        key, _, value = line.partition("=")
        if key.split(":", 1)[0] == name:
            return value
    return None


def build_programs(build_dir: Path | None) -> Path:
    """Configures the build tree with the 'mingw' preset and builds what the benchmark runs."""
    configure = ["cmake", "--preset", "mingw"]
    if build_dir is not None:
        configure += ["-B", str(build_dir)]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    build = (build_dir or ROOT / "build" / "mingw").resolve()
    targets = ["vestrel-tray", "tick-bench", "minimal-tray", "footprint-probe"]
    # The call check links the logic tests' fake, which exists only when the tests are built.
    if cache_value(build, "VESTREL_BUILD_TESTS") == "ON":
        targets.append("tick-calls-check")
    subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True)
    return build


def machine_lines(build: Path) -> str:
    model = next((line.split(":", 1)[1].strip() for line in
                  Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), "unknown processor")
    memory_kb = next(int(line.split()[1]) for line in
                     Path("/proc/meminfo").read_text().splitlines()
                     if line.startswith("MemTotal:"))
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    compiler = subprocess.run([cache_value(build, "CMAKE_CXX_COMPILER") or "c++", "--version"],
                              capture_output=True, text=True).stdout.splitlines()[0]
    return (f"Machine: {len(os.sched_getaffinity(0))} cores, {model}, "
            f"{memory_kb / 1048576:.1f} GiB memory\n"
            f"Wine: {wine}\n"
            f"Compiler: {compiler}\n"
            f"Build type: {cache_value(build, 'CMAKE_BUILD_TYPE')}\n")


# ---------------------------------------------------------------------------------------------
# Measuring


class Bench:
    def __init__(self, build: Path, results: Results, programs: Programs,
                 desktop: WineDesktop):
        self.build = build
        self.desktop = desktop
        self.bench_bin = build / "bench"
        self.work = build / "bench-work"
        self.results = results
        self.programs = programs

    def run(self, name: str, *args: str) -> Finished:
        """A program of bench/ to its end, however long its options make it (output through a
        file: programs.Programs.start)."""
        return self.programs.run(self.bench_bin / f"{name}.exe", *args, timeout=None)

    def run_checked(self, name: str, *args: str) -> Finished:
        finished = self.run(name, *args)
        if finished.status != 0:
            raise BenchFailed(finished.describe())
        return finished

    def report_run(self, title: str, name: str, *args: str) -> None:
        """A measurement whose output is its report; a failed one still shows what it said."""
        self.results.say(title)
        finished = self.run(name, *args)
        if finished.stdout:
            self.results.say(finished.stdout.rstrip("\n"))
        if finished.status != 0:
            raise BenchFailed(finished.describe())
        self.results.say()

    def ticks(self, rounds: int, ticks: int) -> None:
        # The notification area is up before the tick benchmark puts its icon there.
        self.run_checked("footprint-probe", "--timeout-ms", "30000", "Shell_TrayWnd")
        if (self.bench_bin / "tick-calls-check.exe").is_file():
            self.report_run("== Calls of one timer tick (recording fake) ==", "tick-calls-check")
        self.report_run("== Time of one timer tick (under Wine, virtual desktop) ==",
                        "tick-bench", "--rounds", str(rounds), "--ticks", str(ticks))

    def footprint(self) -> None:
        """The running program's memory beside the minimal tray program's, in FOOTPRINT_ROUNDS
        rounds, each with both started anew on a fresh desktop. Within a round the two are
        sampled side by side; between rounds the resident pages of the shared libraries that
        each happens to hold move by a hundred KiB or more (measured), in the minimal program as
        much as in this one, so the verdict goes by the median of the rounds' differences."""
        self.results.say("== Footprint of the running program ==")
        rounds = []
        after: dict[str, dict[str, int]] = {}
        for number in range(1, FOOTPRINT_ROUNDS + 1):
            if number > 1:
                self.programs.end_all()
                self.desktop.renew()
                self.desktop.prefix.start_services()
            samples, after = self.footprint_round(last=number == FOOTPRINT_ROUNDS)
            rounds.append(samples)

        def spread(samples: list[dict[str, dict[str, int]]], window_class: str,
                   counter: str) -> Spread:
            return Spread.of([sample[window_class][counter] for sample in samples])

        for number, samples in enumerate(rounds, start=1):
            line = [f"round {number}:"]
            for counter in ("working_set", "unique"):
                difference = (spread(samples, PROGRAM_CLASS, counter).median -
                              spread(samples, MINIMAL_CLASS, counter).median)
                line.append(f"{counter} difference {kib(difference)}")
            line.append(f"(program {kib(spread(samples, PROGRAM_CLASS, 'working_set').median)}, "
                        f"minimal {kib(spread(samples, MINIMAL_CLASS, 'working_set').median)})")
            self.results.say(" ".join(line))
        for counter in ("working_set", "unique", "private_bytes"):
            program = Spread.of([spread(samples, PROGRAM_CLASS, counter).median
                                 for samples in rounds])
            minimal = Spread.of([spread(samples, MINIMAL_CLASS, counter).median
                                 for samples in rounds])
            if counter == "private_bytes" and program.high == 0 and minimal.high == 0:
                self.results.say("private_bytes  0 for both: Wine does not report it (unique "
                                 "stands in)")
                continue
            differences = Spread.of([spread(samples, PROGRAM_CLASS, counter).median -
                                     spread(samples, MINIMAL_CLASS, counter).median
                                     for samples in rounds])
            self.results.say(f"{counter:<14} program {program.text()}   minimal "
                             f"{minimal.text()}   difference {differences.text()}   goal <= "
                             f"{kib(MEMORY_GOAL)}: {verdict(differences.median <= MEMORY_GOAL)}")
        last = rounds[-1]
        self.results.say(
            f"after {MORE_TICKS} more ticks: program working_set "
            f"{kib(after[PROGRAM_CLASS]['working_set'])} (settled "
            f"{kib(spread(last, PROGRAM_CLASS, 'working_set').median)}), unique "
            f"{kib(after[PROGRAM_CLASS]['unique'])} (settled "
            f"{kib(spread(last, PROGRAM_CLASS, 'unique').median)})")
        self.results.say()

    def footprint_round(self, last: bool) -> tuple[list[dict[str, dict[str, int]]],
                                                   dict[str, dict[str, int]]]:
        """Both programs started, SAMPLES settled samples of them, and, in the last round, one
        more after many more ticks."""
        minimal = self.programs.start(self.bench_bin / "minimal-tray.exe")
        minimal_pid = fields(self.run_checked("footprint-probe", MINIMAL_CLASS).last_line())["pid"]
        # The minimal program stands in for the running companion: a live process for the
        # state's pid.
        written = self.run_checked("tick-bench", "--write-files", windows_path(self.work),
                                   "--companion-pid", minimal_pid).stdout
        files = dict(line.split("=", 1) for line in written.splitlines() if "=" in line)
        seen = self.work / "seen.ini"
        seen_before = hashlib.sha256(seen.read_bytes()).digest()
        tray = self.programs.start(
            self.build / "vestrel-tray.exe", "--mutex", "Local\\VestrelBench",
            "--state", files["state"], "--seen", files["seen"],
            "--pythonw", "C:\\windows\\system32\\notepad.exe",
            "--launcher", windows_path(self.work / "launcher.py"))
        processes = {PROGRAM_CLASS: tray, MINIMAL_CLASS: minimal}

        # Settled: both running a while, the program after ticks of its own.
        samples = []
        for number in range(SAMPLES):
            if number:
                time.sleep(1)  # samples a second apart
            samples.append(self.sample(TICKS_PER_SAMPLE, processes))
        after = self.sample(MORE_TICKS, processes) if last else {}
        if hashlib.sha256(seen.read_bytes()).digest() != seen_before:
            raise BenchFailed("the program wrote to its seen file: it was not in the steady "
                              "state")
        return samples, after

    def sample(self, ticks: int, processes: dict[str, Program]) -> dict[str, dict[str, int]]:
        """Both programs' counters as Windows reports them (after `ticks` timer messages each)
        and their unique bytes from Linux."""
        probe = self.run_checked("footprint-probe", "--ticks", str(ticks), *processes)
        counters: dict[str, dict[str, int]] = {}
        for line in probe.stdout.splitlines():
            words = fields(line)
            if words.get("class") in processes:
                counters[words["class"]] = {name: int(value) for name, value in words.items()
                                            if value.isdigit()}
        for window_class, process in processes.items():
            if window_class not in counters:
                raise BenchFailed(f"footprint-probe said nothing of {window_class}: "
                                  f"{probe.describe()}")
            counters[window_class]["unique"] = unique_bytes(process.popen.pid)
        return counters

    def size(self) -> None:
        self.results.say("== Size of the shipped program ==")
        size = (self.build / "vestrel-tray.exe").stat().st_size
        minimal = (self.bench_bin / "minimal-tray.exe").stat().st_size
        self.results.say(f"vestrel-tray.exe {size} bytes ({kib(size)})   goal <= "
                         f"{kib(SIZE_GOAL)}: {verdict(size <= SIZE_GOAL)}   (minimal-tray.exe "
                         f"{minimal} bytes)")


def main() -> int:
    parser = argparse.ArgumentParser(prog="scripts/bench.sh",
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", type=Path)
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--ticks", type=int, default=5)
    parser.add_argument("--no-setup", action="store_true",
                        help="(for scripts/bench.sh, which runs the setup script)")
    options = parser.parse_args()
    os.chdir(ROOT)
    # A run that is told to stop still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    try:
        return measure(options)
    except KeyboardInterrupt:
        return 130


def measure(options: argparse.Namespace) -> int:
    try:
        build = build_programs(options.build_dir)
    except subprocess.CalledProcessError as error:
        print(f"bench: {' '.join(error.cmd)} ended with {error.returncode}", file=sys.stderr)
        return 1
    work = build / "bench-work"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    results = Results(build / "bench-results.txt")
    prefix = WinePrefix(build / "wineprefix-bench", work / "wineserver.log")
    desktop = WineDesktop(prefix, XDisplay(work / "xvfb.log"))
    programs = Programs(prefix.env)
    programs.work = work
    failed = True
    try:
        if not prefix.ready():
            print("Creating the Wine prefix (once)...", flush=True)
        desktop.open()
        # The desktop and the prefix's services are up before anything is timed.
        prefix.start_services()
        results.say(machine_lines(build))
        results.say()
        bench = Bench(build, results, programs, desktop)
        bench.ticks(options.rounds, options.ticks)
        bench.footprint()
        bench.size()
        failed = False
    except (BenchFailed, RuntimeError, subprocess.SubprocessError, OSError) as error:
        print(f"bench: {error}", file=sys.stderr)
    finally:
        programs.end_all()
        desktop.close()
        if failed:
            print(f"bench: what the programs said is kept in {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
