// Times the program's timer tick against its floor (floor_tick.h) on the worst steady state, in
// one process, interleaved round by round so that both see the same machine, caches and shell.
// Then times the parts of a tick one by one, to show where the time goes.
//
//   tick-bench.exe [--rounds N] [--ticks N] [--side program|floor]
//   tick-bench.exe --write-files FOLDER --companion-pid PID
//
// With --side only that side runs, rounds x ticks times, so that an outside timer can compare
// two whole runs. The second form only writes the worst-state files (for the footprint run) and
// prints their paths. Exit codes: 0 measured, 1 the run was not the steady state it claims, 2 bad
// arguments.
#include "floor_tick.h"
#include "worst_state.h"

#include "app/tray_companion.h"
#include "companion/app_status.h"
#include "companion/state_file.h"
#include "core/profile_file.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

// The goal: a tick costs at most this much more than its floor (docs/performance.md).
constexpr double kTickGoal = 1.05;

struct WindowsCalls {
    static DWORD GetFileAttributesW(LPCWSTR path) { return ::GetFileAttributesW(path); }
    static DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                          LPWSTR buffer, DWORD size, LPCWSTR path) {
        return ::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
    }
    // The same clock as the program's platform layer.
    static std::int64_t UnixTimeNow() { return static_cast<std::int64_t>(std::time(nullptr)); }
    static HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
        return ::OpenProcess(access, inherit, processId);
    }
    static BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
        return ::GetExitCodeProcess(process, exitCode);
    }
    static HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
        return ::CreateFileW(path, access, shareMode, attributes, disposition, flags, templateFile);
    }
    static BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
    static BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
        return ::Shell_NotifyIconW(message, data);
    }
    static void GetLocalTime(LPSYSTEMTIME time) { ::GetLocalTime(time); }
    static LONG_PTR GetWindowLongPtrW(HWND window, int index) {
        return ::GetWindowLongPtrW(window, index);
    }
};

// A heartbeat counts as fresh for 90 s; renewing it well before keeps every round running.
constexpr std::int64_t kHeartbeatRenewSeconds = 30;
// Wine serves profile reads from its cached copy of a file only once the file is 2.1 s old (a
// younger one may change within the 2 s resolution of FAT times); before that, every read parses
// the whole file again. The steady state is the older file; the younger one is timed apart.
constexpr DWORD kProfileCacheTrustMs = 2100;
constexpr DWORD kSettleMs = kProfileCacheTrustMs + 400;

struct Settings {
    int rounds = 100;
    int ticksPerRound = 5;
    std::wstring side;
    std::wstring writeFilesFolder;
    DWORD companionPid = 0;
};

bool ParseArguments(int argc, wchar_t** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const std::wstring value = argv[++i];
        if (word == L"--rounds") {
            settings.rounds = std::max(1, _wtoi(value.c_str()));
        } else if (word == L"--ticks") {
            settings.ticksPerRound = std::max(1, _wtoi(value.c_str()));
        } else if (word == L"--side" && (value == L"program" || value == L"floor")) {
            settings.side = value;
        } else if (word == L"--write-files") {
            settings.writeFilesFolder = value;
        } else if (word == L"--companion-pid") {
            settings.companionPid = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
        } else {
            return false;
        }
    }
    return settings.writeFilesFolder.empty() || settings.companionPid != 0;
}

class Clock {
  public:
    Clock() { ::QueryPerformanceFrequency(&frequency_); }
    std::int64_t Now() const {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return now.QuadPart;
    }
    double Microseconds(std::int64_t ticks) const {
        return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency_.QuadPart);
    }

  private:
    LARGE_INTEGER frequency_{};
};

struct Summary {
    double median = 0;
    double min = 0;
    double p10 = 0;
    double p90 = 0;
    double max = 0;
    std::size_t count = 0;
};

Summary Summarize(std::vector<double> values) {
    Summary summary;
    if (values.empty()) {
        return summary;
    }
    std::sort(values.begin(), values.end());
    const auto at = [&values](double fraction) {
        return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
    };
    summary.count = values.size();
    summary.min = values.front();
    summary.max = values.back();
    summary.p10 = at(0.10);
    summary.p90 = at(0.90);
    const std::size_t middle = values.size() / 2;
    summary.median =
        values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return summary;
}

void PrintTickSummary(const char* name, const Summary& summary) {
    std::printf(
        "%-14s median %8.1f us   min %8.1f   p10 %8.1f   p90 %8.1f   max %8.1f   (%zu ticks)\n",
        name, summary.median, summary.min, summary.p10, summary.p90, summary.max, summary.count);
}

// The steady state holds only while the companion counts as running and nothing is queued or
// shown; otherwise the tick skips the notice pass or writes marks, and the figures mean nothing.
bool SteadyStateHolds(const TrayCompanion& companion) {
    const Balloons& balloons = companion.Notices();
    return EvaluateAppStatus(StateFile(companion.Options().statePath)) == AppStatus::Running &&
           balloons.Queue().empty() && !balloons.IsBalloonShowing();
}

std::wstring MakeWorkFolder() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder =
        std::wstring(temp) + L"vestrel-tick-bench-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void RemoveWorkFolder(const std::wstring& folder, const bench::WorstStateFiles& files) {
    ::DeleteFileW(files.statePath.c_str());
    ::DeleteFileW(files.seenPath.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

// The time of one call of `part`, from batches of calls so that calls of a few microseconds stand
// well above the clock's resolution. A shared machine only ever adds time, so the batch at the
// tenth percentile says what the call itself costs better than the median does.
double TimePart(const Clock& clock, const std::function<void()>& part, int callsPerBatch = 50,
                int batches = 40) {
    std::vector<double> perCall;
    part();
    for (int batch = 0; batch < batches; ++batch) {
        const std::int64_t start = clock.Now();
        for (int call = 0; call < callsPerBatch; ++call) {
            part();
        }
        perCall.push_back(clock.Microseconds(clock.Now() - start) / callsPerBatch);
    }
    return Summarize(perCall).p10;
}

void PrintPart(const char* name, double microseconds) {
    std::printf("  %-58s %9.2f us\n", name, microseconds);
}

int WriteFilesOnly(const Settings& settings) {
    const bench::WorstStateFiles files =
        bench::WriteWorstState(settings.writeFilesFolder, settings.companionPid,
                               static_cast<std::int64_t>(std::time(nullptr)));
    std::wprintf(L"state=%ls\nseen=%ls\n", files.statePath.c_str(), files.seenPath.c_str());
    return 0;
}

// Where a tick's time goes: each part timed alone, on the same files, after the ticks.
void TimeParts(const Clock& clock, const bench::WorstStateFiles& files,
               const TrayCompanion& companion, bench::FloorTick<WindowsCalls>& floor,
               double floorTick) {
    std::array<wchar_t, 4096> buffer{};
    const wchar_t* state = files.statePath.c_str();
    const wchar_t* seen = files.seenPath.c_str();
    const std::wstring firstId = bench::NoticeId(1);
    const double readSameFile = TimePart(clock, [&] {
        ::GetPrivateProfileStringW(L"notice7", L"body", L"", buffer.data(), 4096, state);
    });
    const double readOtherFile =
        TimePart(clock,
                 [&] {
                     ::GetPrivateProfileStringW(L"notice7", L"title", L"", buffer.data(), 4096,
                                                state);
                     ::GetPrivateProfileStringW(L"shown", firstId.c_str(), L"", buffer.data(), 4096,
                                                seen);
                 }) /
        2;
    const std::wstring statePath = files.statePath;
    const std::wstring section = L"notice7";
    const std::wstring key = L"body";
    const double programRead =
        TimePart(clock, [&] { static_cast<void>(ReadProfileValue(statePath, section, key)); });
    // What ReadProfileValue adds to the read itself.
    volatile std::size_t sink = 0;
    const double clearedString = TimePart(clock, [&] {
        std::wstring value(4096, L'\0');
        value.resize(value.find(L'\0'));
        sink = sink + value.capacity();
    });
    const double attributes = TimePart(clock, [&] { ::GetFileAttributesW(state); });
    const double processCheck = TimePart(clock, [&] {
        HANDLE process =
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ::GetCurrentProcessId());
        DWORD exitCode = 0;
        ::GetExitCodeProcess(process, &exitCode);
        ::CloseHandle(process);
    });
    NOTIFYICONDATAW record = companion.Icon().Record();
    const double notify = TimePart(
        clock, [&] { ::Shell_NotifyIconW(NIM_MODIFY, &record); }, 10, 20);
    const StateFile stateFile(files.statePath);
    const double status = TimePart(
        clock, [&] { static_cast<void>(EvaluateAppStatus(stateFile)); }, 10);
    std::vector<wchar_t> sectionBuffer(32768);
    const auto sectionSize = static_cast<DWORD>(sectionBuffer.size());
    const double noticeSection = TimePart(clock, [&] {
        ::GetPrivateProfileSectionW(L"notice7", sectionBuffer.data(), sectionSize, state);
    });
    const double shownSection = TimePart(clock, [&] {
        ::GetPrivateProfileSectionW(L"shown", sectionBuffer.data(), sectionSize, seen);
    });

    // In turn, pair by pair, like the ticks above.
    std::vector<double> leanRatios;
    for (int pair = 0; pair < 40; ++pair) {
        const auto timeOnce = [&clock](const std::function<void()>& tick) {
            return TimePart(clock, tick, 1, 1);
        };
        const double leanTick = timeOnce([&floor] { floor.RunLean(); });
        leanRatios.push_back(leanTick / timeOnce([&floor] { floor.Run(); }));
    }
    const double leanRatio = Summarize(leanRatios).median;

    constexpr int kReadsPerTick = 3 + 2 + 3 + 2 + bench::kNoticeCount * 7;
    std::printf("Parts of a tick (time of one call, tenth percentile of 40 batches):\n");
    PrintPart("GetPrivateProfileStringW, same file as the read before", readSameFile);
    PrintPart("GetPrivateProfileStringW, state and seen file in turn", readOtherFile);
    PrintPart("ReadProfileValue (the program's read)", programRead);
    PrintPart("  of which its 4096-character cleared string", clearedString);
    PrintPart("GetFileAttributesW", attributes);
    PrintPart("OpenProcess + GetExitCodeProcess + CloseHandle", processCheck);
    PrintPart("Shell_NotifyIconW NIM_MODIFY", notify);
    PrintPart("EvaluateAppStatus (twice per tick)", status);
    PrintPart("GetPrivateProfileSectionW of one [noticeN] (5 keys)", noticeSection);
    PrintPart("GetPrivateProfileSectionW of [shown] (50 keys)", shownSection);
    std::printf("  %-58s %9.2f x the floor tick\n",
                "the tick with one status check and each mark after its id", leanRatio);
    std::printf(
        "  %d profile reads per tick x %.2f us = %.0f us of a %.0f us floor tick (its p10, "
        "%.0f%%)\n",
        kReadsPerTick, readOtherFile, kReadsPerTick * readOtherFile, floorTick,
        100.0 * kReadsPerTick * readOtherFile / floorTick);
}

// Ticks that come less than 2.1 s after the companion rewrote its state file: about one tick in
// five when the file is rewritten every 10 s, one in fourteen at every 30 s.
void TimeFreshStateFile(const Clock& clock, const bench::WorstStateFiles& files,
                        const std::function<void()>& programTick,
                        const std::function<void()>& floorTick) {
    std::vector<double> programTimes;
    std::vector<double> floorTimes;
    std::vector<double> ratios;
    for (int round = 0; round < 40; ++round) {
        bench::RefreshHeartbeat(files, static_cast<std::int64_t>(std::time(nullptr)));
        const ULONGLONG written = ::GetTickCount64();
        const auto timeTick = [&clock](const std::function<void()>& tick) {
            const std::int64_t start = clock.Now();
            tick();
            return clock.Microseconds(clock.Now() - start);
        };
        const double first = timeTick(round % 2 == 0 ? programTick : floorTick);
        const double second = timeTick(round % 2 == 0 ? floorTick : programTick);
        // A pair that outlasted the window would mix in cached reads.
        if (::GetTickCount64() - written >= kProfileCacheTrustMs - 100) {
            continue;
        }
        const double program = round % 2 == 0 ? first : second;
        const double floor = round % 2 == 0 ? second : first;
        programTimes.push_back(program);
        floorTimes.push_back(floor);
        ratios.push_back(program / floor);
    }
    std::printf("Ticks within 2.1 s of a new state file (Wine parses the file at every read):\n");
    PrintTickSummary("program tick", Summarize(programTimes));
    PrintTickSummary("floor tick", Summarize(floorTimes));
    std::printf("ratio program/floor %.3f: median of %zu pairs\n", Summarize(ratios).median,
                ratios.size());
    ::Sleep(kSettleMs);
}

// Destroying the window removes the icon, as it does in the program.
void Cleanup(HWND window, const std::wstring& folder, const bench::WorstStateFiles& files) {
    ::DestroyWindow(window);
    RemoveWorkFolder(folder, files);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Settings settings;
    if (!ParseArguments(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: tick-bench [--rounds N] [--ticks N]"
                     " [--side program|floor] | --write-files FOLDER --companion-pid PID\n");
        return 2;
    }
    if (!settings.writeFilesFolder.empty()) {
        return WriteFilesOnly(settings);
    }

    const Clock clock;
    const std::wstring folder = MakeWorkFolder();
    std::int64_t heartbeat = static_cast<std::int64_t>(std::time(nullptr));
    const bench::WorstStateFiles files =
        bench::WriteWorstState(folder, ::GetCurrentProcessId(), heartbeat);

    // The program itself, started as it starts: its window, its icon (the bench carries the
    // program's resources), the first pass. In the virtual desktop the shell takes the icon, and
    // every tick's update goes to it as it would on a desktop; without one the update fails at
    // once, which the figures then say.
    TrayCompanion companion(StartupOptions{.mutexName = L"VestrelTickBench",
                                           .statePath = files.statePath,
                                           .seenPath = files.seenPath,
                                           .pythonwPath = L"pythonw.exe",
                                           .launcherPath = L"launch.py"});
    if (!companion.Start(::GetModuleHandleW(nullptr))) {
        std::fprintf(stderr, "no window (error %lu)\n", ::GetLastError());
        return 1;
    }
    const HWND window = companion.Icon().Record().hWnd;
    const bool shellHoldsIcon = companion.Icon().IsAdded();

    // A tick as the message loop delivers it, through the window procedure.
    const auto programTick = [window] { TrayWindowProc(window, WM_TIMER, kRefreshTimerId, 0); };
    programTick();
    // The floor sends the record as the program's ticks leave it.
    bench::FloorTick<WindowsCalls> floor(files, companion.Icon().Record());
    const auto floorTick = [&floor] { floor.Run(); };

    ::Sleep(kSettleMs);
    for (int warmup = 0; warmup < 5; ++warmup) {
        programTick();
        floorTick();
    }
    if (!SteadyStateHolds(companion)) {
        std::fprintf(stderr, "the worst steady state does not hold after the first ticks\n");
        return 1;
    }

    std::vector<double> programTimes;
    std::vector<double> floorTimes;
    std::vector<double> roundRatios;
    const auto timeTicks = [&](const std::function<void()>& tick, std::vector<double>& times) {
        double total = 0;
        for (int i = 0; i < settings.ticksPerRound; ++i) {
            const std::int64_t start = clock.Now();
            tick();
            const double elapsed = clock.Microseconds(clock.Now() - start);
            times.push_back(elapsed);
            total += elapsed;
        }
        return total;
    };
    for (int round = 0; round < settings.rounds; ++round) {
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        if (now - heartbeat >= kHeartbeatRenewSeconds) {
            heartbeat = now;
            bench::RefreshHeartbeat(files, heartbeat);
            ::Sleep(kSettleMs);
            // The new file is parsed on the next read; neither side should pay for it.
            programTick();
            floorTick();
        }
        if (settings.side == L"program") {
            timeTicks(programTick, programTimes);
        } else if (settings.side == L"floor") {
            timeTicks(floorTick, floorTimes);
        } else if (round % 2 == 0) {
            // Alternating which side goes first cancels any advantage of either place.
            const double programTotal = timeTicks(programTick, programTimes);
            roundRatios.push_back(programTotal / timeTicks(floorTick, floorTimes));
        } else {
            const double floorTotal = timeTicks(floorTick, floorTimes);
            roundRatios.push_back(timeTicks(programTick, programTimes) / floorTotal);
        }
    }
    if (!SteadyStateHolds(companion)) {
        std::fprintf(stderr, "the worst steady state did not hold to the end of the run\n");
        return 1;
    }

    std::printf("Timer tick on the worst steady state (%d notices, all shown; shell %s)\n",
                bench::kNoticeCount,
                shellHoldsIcon ? "holds the icon" : "absent: Shell_NotifyIconW fails");
    const Summary program = Summarize(programTimes);
    const Summary floorSummary = Summarize(floorTimes);
    if (settings.side == L"program") {
        PrintTickSummary("program tick", program);
    } else if (settings.side == L"floor") {
        PrintTickSummary("floor tick", floorSummary);
    } else {
        // A round's ratio compares ticks run side by side; a slow spell of a shared machine
        // lands on some rounds and moves their ratios, not the median of all of them.
        const Summary ratios = Summarize(roundRatios);
        std::printf("%d rounds x %d ticks per side, interleaved\n", settings.rounds,
                    settings.ticksPerRound);
        PrintTickSummary("program tick", program);
        PrintTickSummary("floor tick", floorSummary);
        std::printf(
            "ratio program/floor %.3f: median of %zu round ratios (p10 %.3f, p90 %.3f);"
            " ratio of medians %.3f, of p10s %.3f   goal <= %.2f: %s\n",
            ratios.median, ratios.count, ratios.p10, ratios.p90,
            program.median / floorSummary.median, program.p10 / floorSummary.p10, kTickGoal,
            ratios.median <= kTickGoal ? "met" : "NOT met");
        TimeParts(clock, files, companion, floor, floorSummary.p10);
        TimeFreshStateFile(clock, files, programTick, floorTick);
    }
    Cleanup(window, folder, files);
    return 0;
}
