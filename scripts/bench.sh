#!/usr/bin/env bash
# Builds the program and its benchmarks with MinGW-w64, then measures them under Wine in a
# virtual desktop on a private Xvfb display:
#   1. that one timer tick makes exactly the calls of its floor (through the recording fake),
#   2. the time of a tick against that floor, on the heaviest steady state,
#   3. the working set and private bytes of the running program next to a minimal tray program,
#   4. the size of the shipped program.
# Prints each figure beside its goal. Every process it starts is ended when it exits, also when
# it fails or is interrupted.
#
#   scripts/bench.sh [--build-dir DIR] [--rounds N] [--ticks N] [--no-setup]
#
# Without --build-dir it uses the 'mingw' preset's build tree. --rounds and --ticks are passed to
# the tick benchmark. The figures are also kept in DIR/bench-results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=""
rounds=100
ticks=5
setup=1
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --ticks) ticks=$2; shift 2 ;;
    --no-setup) setup=0; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--rounds N] [--ticks N] [--no-setup]" >&2; exit 2 ;;
    esac
done

if [ $setup -eq 1 ] && [ -x scripts/setup-debian.sh ]; then
    scripts/setup-debian.sh
fi

targets=(vestrel-tray tick-bench minimal-tray footprint-probe)
if [ -z "$build_dir" ]; then
    build_dir=build/mingw
    cmake --preset mingw >/dev/null
else
    cmake --preset mingw -B "$build_dir" >/dev/null
fi
# The call check links the logic tests' fake, which exists only when the tests are built.
if grep -q '^VESTREL_BUILD_TESTS:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    targets+=(tick-calls-check)
fi
cmake --build "$build_dir" --target "${targets[@]}"

build_dir=$(cd "$build_dir" && pwd)
bench_bin=$build_dir/bench
results=$build_dir/bench-results.txt
work=$build_dir/bench-work
rm -rf "$work"
mkdir -p "$work"
: >"$results"

# Wine: a private prefix whose programs all run in a 1024x768 desktop with a notification area.
export WINEPREFIX=$build_dir/wineprefix-bench WINEDEBUG=-all
# An override of winemenubuilder.exe keeps the desktop from starting at all.
unset WINEARCH WINEDLLOVERRIDES
if [ ! -f "$WINEPREFIX/.vestrel-bench-ready" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    echo "Creating the Wine prefix (once)..."
    (
        # No display yet, and no offers to install Mono or Gecko.
        unset DISPLAY
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 || true
        wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
            </dev/null >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
            </dev/null >/dev/null 2>&1
        wineserver -w
    )
    touch "$WINEPREFIX/.vestrel-bench-ready"
fi

xvfb_pid=""
server_pid=""
program_pids=()
cleanup() {
    # Ends every Windows program of the prefix, then the server, then the display.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    local pid
    for pid in "${program_pids[@]}" $server_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A display number well clear of those the end-to-end tests pick.
for number in $(seq 200 299); do
    if [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; then
        continue
    fi
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp -noreset -displayfd 3 \
        3>"$work/display" </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -s "$work/display" ]; then
        DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
        export DISPLAY
        break
    fi
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
done
if [ -z "$xvfb_pid" ]; then
    echo "no free X display for Xvfb" >&2
    exit 1
fi

# A server left running by an earlier, killed run would hold the prefix.
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1 || true
wineserver -f -p </dev/null >/dev/null 2>&1 &
server_pid=$!
# The prefix's services and the desktop start now, with no stream of this script: whatever a
# program starts on the side would otherwise hold its output pipe open after it ends. They are
# also done starting before anything is timed.
wine wineboot </dev/null >/dev/null 2>&1

# Output goes through a file for the same reason, and console programs under Wine end their
# lines with CR LF. Waiting on a background job lets an interrupt end the run at once rather than
# after the program, as long as this is called in the script's own shell, not in a pipeline.
run_wine() {
    local status=0
    wine "$@" </dev/null >"$work/output" 2>&1 &
    wait $! || status=$?
    tr -d '\r' <"$work/output"
    return $status
}
report() {
    echo "$*" | tee -a "$results"
}
field() {  # field NAME LINE: the value of NAME=value in LINE
    echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}
windows_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}

{
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
         "$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory"
    echo "Wine: $(wine --version 2>/dev/null)"
    compiler=$(grep -m1 '^CMAKE_CXX_COMPILER:' "$build_dir/CMakeCache.txt" | cut -d= -f2)
    echo "Compiler: $("$compiler" --version | head -1)"
    echo "Build type: $(grep -m1 '^CMAKE_BUILD_TYPE:' "$build_dir/CMakeCache.txt" | cut -d= -f2)"
    echo
} | tee -a "$results"

# The notification area is up before the tick benchmark puts its icon there.
run_wine "$bench_bin/footprint-probe.exe" --timeout-ms 30000 Shell_TrayWnd >/dev/null

if [ -x "$bench_bin/tick-calls-check.exe" ]; then
    report "== Calls of one timer tick (recording fake) =="
    status=0
    run_wine "$bench_bin/tick-calls-check.exe" >"$work/calls" || status=$?
    tee -a "$results" <"$work/calls"
    [ $status -eq 0 ]
    report ""
fi

report "== Time of one timer tick (under Wine, virtual desktop) =="
status=0
run_wine "$bench_bin/tick-bench.exe" --rounds "$rounds" --ticks "$ticks" >"$work/ticks" || status=$?
tee -a "$results" <"$work/ticks"
[ $status -eq 0 ]
report ""

report "== Footprint of the running program =="
wine "$bench_bin/minimal-tray.exe" </dev/null >/dev/null 2>&1 &
minimal_process=$!
program_pids+=("$minimal_process")
minimal_line=$(run_wine "$bench_bin/footprint-probe.exe" VestrelMinimalTrayWindow)
# The minimal program stands in for the running companion: a live process for the state's pid.
files=$(run_wine "$bench_bin/tick-bench.exe" --write-files "$(windows_path "$work")" \
    --companion-pid "$(field pid "$minimal_line")")
seen_before=$(sha256sum <"$work/seen.ini")
wine "$build_dir/vestrel-tray.exe" --mutex 'Local\VestrelBench' \
    --state "$(field state "$files")" --seen "$(field seen "$files")" \
    --pythonw 'C:\windows\system32\notepad.exe' --launcher "$(windows_path "$work/launcher.py")" \
    </dev/null >/dev/null 2>&1 &
tray_process=$!
program_pids+=("$tray_process")

# Wine 8 reports no private bytes (PrivateUsage is 0 for every process), so the memory that
# belongs to each process alone is also read from Linux: its private resident pages.
unique_bytes() {
    awk '/^Private_(Clean|Dirty):/ {kb += $2} END {print kb * 1024}' "/proc/$1/smaps_rollup"
}
sample() {  # sample TICKS: one line per program, the Windows counters and the unique bytes
    local lines
    lines=$(run_wine "$bench_bin/footprint-probe.exe" --ticks "$1" VestrelTrayWindow \
        VestrelMinimalTrayWindow)
    echo "$lines" | sed \
        -e "/class=VestrelTrayWindow /s/\$/ unique=$(unique_bytes $tray_process)/" \
        -e "/class=VestrelMinimalTrayWindow /s/\$/ unique=$(unique_bytes $minimal_process)/"
}
# Settled: both running a while, the program after ticks of its own (20 between samples).
: >"$work/samples"
for _ in 1 2 3 4 5; do
    sample 20 >>"$work/samples"
    sleep 1
done
# Then many more ticks, to see whether anything grows with their number.
after=$(sample 300)
if [ "$(sha256sum <"$work/seen.ini")" != "$seen_before" ]; then
    echo "the program wrote to its seen file: it was not in the steady state" >&2
    exit 1
fi

summarise() {  # summarise CLASS COUNTER: median, min and max over the settled samples, in bytes
    grep "class=$1 " "$work/samples" | tr ' ' '\n' | sed -n "s/^$2=//p" | sort -n |
        awk '{v[NR] = $1} END {printf "%d %d %d\n", v[int((NR + 1) / 2)], v[1], v[NR]}'
}
kib() { awk -v b="$1" 'BEGIN {printf "%.0f KiB", b / 1024}'; }
for counter in working_set unique private_bytes; do
    read -r program program_min program_max < <(summarise VestrelTrayWindow $counter)
    read -r minimal minimal_min minimal_max < <(summarise VestrelMinimalTrayWindow $counter)
    if [ "$counter" = private_bytes ] && [ "$program_max" -eq 0 ] && [ "$minimal_max" -eq 0 ]; then
        report "private_bytes  0 for both: Wine does not report it (unique stands in)"
        continue
    fi
    difference=$((program - minimal))
    verdict="met"
    [ $difference -le 1048576 ] || verdict="NOT met"
    report "$(printf '%-14s program %s (%s..%s)   minimal %s (%s..%s)   difference %s   goal <= 1024 KiB: %s' \
        "$counter" "$(kib "$program")" "$(kib "$program_min")" "$(kib "$program_max")" \
        "$(kib "$minimal")" "$(kib "$minimal_min")" "$(kib "$minimal_max")" \
        "$(kib $difference)" "$verdict")"
done
after_line=$(echo "$after" | grep 'class=VestrelTrayWindow ')
read -r settled_ws _ _ < <(summarise VestrelTrayWindow working_set)
read -r settled_unique _ _ < <(summarise VestrelTrayWindow unique)
report "after 300 more ticks: program working_set $(kib "$(field working_set "$after_line")")" \
    "(settled $(kib "$settled_ws")), unique $(kib "$(field unique "$after_line")")" \
    "(settled $(kib "$settled_unique"))"
report ""

report "== Size of the shipped program =="
size=$(stat -c %s "$build_dir/vestrel-tray.exe")
verdict="met"
[ "$size" -le 524288 ] || verdict="NOT met"
report "vestrel-tray.exe $size bytes ($(kib "$size"))   goal <= 512 KiB: $verdict" \
    "  (minimal-tray.exe $(stat -c %s "$bench_bin/minimal-tray.exe") bytes)"
