// Drives the tray program from inside Wine the way the shell and the system would: timer ticks,
// icon events, the taskbar's re-creation broadcast and closing its window. Also keeps a live
// process around on request, probes named mutexes, reads a process's resource counters and
// tells how a process ended.
//
//   traytool.exe wait [--timeout-ms N]          prints "hwnd=<handle> pid=<id>"
//   traytool.exe wait-gone [--timeout-ms N]
//   traytool.exe wait-menu | wait-menu-gone [--timeout-ms N]    a popup menu on screen, or none
//   traytool.exe tick [--count N] [--send]
//   traytool.exe event CODE [--send]             CODE in decimal or 0x hex
//   traytool.exe taskbar-created [--direct]
//   traytool.exe close [--send]
//   traytool.exe hold [--mutex NAME] [--event NAME]   prints "pid=<id>", then waits to be killed
//   traytool.exe mutex NAME                      prints "created=<0|1> error=<code>"
//   traytool.exe stats PID
//   traytool.exe wait-exit PID [--timeout-ms N]  prints "exit=<code>" once the process has ended
//
// Exit codes: 0 done, 1 the window or process was not found in time, 2 bad command line.
// Without --send, messages are posted and the command returns at once; with --send it returns
// once the program has handled them, so a test may look at the outcome straight away.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kWindowClass[] = L"VestrelTrayWindow";
constexpr UINT kTrayCallbackMessage = WM_APP + 1;
constexpr UINT kTrayIconId = 1;
// Any timer id counts as a tick for the program; an unusual one shows the tick came from here.
constexpr UINT_PTR kTestTimerId = 0xE2E;

struct Arguments {
    std::wstring command;
    std::wstring positional;
    std::map<std::wstring, std::wstring> values;
    bool send = false;
    bool direct = false;
};

bool Parse(int argc, wchar_t** argv, Arguments& out) {
    if (argc < 2) {
        return false;
    }
    out.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::wstring word = argv[i];
        if (word == L"--send") {
            out.send = true;
        } else if (word == L"--direct") {
            out.direct = true;
        } else if (word.rfind(L"--", 0) == 0) {
            if (i + 1 >= argc) {
                return false;
            }
            out.values[word] = argv[++i];
        } else if (out.positional.empty()) {
            out.positional = word;
        } else {
            return false;
        }
    }
    return true;
}

unsigned long Number(const std::wstring& text, unsigned long fallback) {
    if (text.empty()) {
        return fallback;
    }
    return std::wcstoul(text.c_str(), nullptr, 0);
}

DWORD TimeoutMs(const Arguments& args) {
    auto found = args.values.find(L"--timeout-ms");
    return Number(found == args.values.end() ? L"" : found->second, 10000);
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs, const char* failure) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            std::fprintf(stderr, "%s after %lu ms\n", failure, timeoutMs);
            return false;
        }
        Sleep(20);
    }
    return true;
}

HWND WaitForWindow(DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil([&window] { return (window = FindWindowW(kWindowClass, nullptr)) != nullptr; },
              timeoutMs, "no VestrelTrayWindow");
    return window;
}

// Popup menus are top-level windows of the system's menu class, whoever tracks them.
bool PopupMenuOpen() {
    HWND menu = nullptr;
    while ((menu = FindWindowExW(nullptr, menu, L"#32768", nullptr)) != nullptr) {
        if (IsWindowVisible(menu)) {
            return true;
        }
    }
    return false;
}

void Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool send) {
    if (send) {
        SendMessageW(window, message, wParam, lParam);
    } else {
        PostMessageW(window, message, wParam, lParam);
    }
}

int Hold(const Arguments& args) {
    // The handles stay open for as long as the process lives; that is the point.
    if (auto found = args.values.find(L"--mutex"); found != args.values.end()) {
        if (CreateMutexW(nullptr, TRUE, found->second.c_str()) == nullptr) {
            std::fprintf(stderr, "cannot create the mutex (error %lu)\n", GetLastError());
            return 1;
        }
    }
    if (auto found = args.values.find(L"--event"); found != args.values.end()) {
        if (CreateEventW(nullptr, TRUE, FALSE, found->second.c_str()) == nullptr) {
            std::fprintf(stderr, "cannot create the event (error %lu)\n", GetLastError());
            return 1;
        }
    }
    std::printf("pid=%lu\n", GetCurrentProcessId());
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

int ProbeMutex(const std::wstring& name) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    DWORD error = GetLastError();
    std::printf("created=%d error=%lu\n", mutex != nullptr ? 1 : 0, error);
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
    return 0;
}

// One row of the system's handle table (information class 16). Wine and Windows lay it out alike
// for process ids below 65536: Windows keeps a 16-bit id and a 16-bit back-trace index there.
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};

// GetProcessHandleCount reports 0 for every process under Wine 8 (measured), so count the
// process's rows in the system's handle table as well.
long CountHandlesInSystemTable(DWORD pid) {
    using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<std::uint64_t> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        auto size = static_cast<ULONG>(buffer.size() * sizeof buffer[0]);
        LONG status = query(16, buffer.data(), size, &needed);
        if (status == kInfoLengthMismatch && buffer.size() < (1u << 24)) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof buffer[0] + 1));
            continue;
        }
        if (status < 0) {
            return -1;
        }
        break;
    }
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if ((table->entries[i].ownerPid & 0xFFFF) == (pid & 0xFFFF)) {
            ++count;
        }
    }
    return count;
}

int Stats(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        std::fprintf(stderr, "cannot open process %lu (error %lu)\n", pid, GetLastError());
        return 1;
    }
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof memory);
    std::printf(
        "handles=%lu system_handles=%ld private_bytes=%llu pagefile_bytes=%llu working_set=%llu "
        "gdi_objects=%lu user_objects=%lu\n",
        handles, CountHandlesInSystemTable(pid),
        static_cast<unsigned long long>(memory.PrivateUsage),
        static_cast<unsigned long long>(memory.PagefileUsage),
        static_cast<unsigned long long>(memory.WorkingSetSize),
        GetGuiResources(process, GR_GDIOBJECTS), GetGuiResources(process, GR_USEROBJECTS));
    CloseHandle(process);
    return 0;
}

// What a Windows parent would see as the exit code. Under Wine the Linux exit status of a process
// can be lost when Wine's loader fails on the way out, this cannot.
int WaitForExit(DWORD pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        std::fprintf(stderr, "cannot open process %lu (error %lu)\n", pid, GetLastError());
        return 1;
    }
    std::printf("watching pid=%lu\n", pid);
    std::fflush(stdout);
    DWORD waited = WaitForSingleObject(process, timeoutMs);
    DWORD code = 0;
    bool ok = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ok) {
        std::fprintf(stderr, "process %lu still running after %lu ms\n", pid, timeoutMs);
        return 1;
    }
    std::printf("exit=%lu\n", code);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: traytool wait | wait-gone | wait-menu | wait-menu-gone [--timeout-ms N]\n"
                 "       traytool tick [--count N] [--send] | event CODE [--send]\n"
                 "       traytool taskbar-created [--direct] | close [--send]\n"
                 "       traytool hold [--mutex NAME] [--event NAME] | mutex NAME\n"
                 "       traytool stats PID | wait-exit PID [--timeout-ms N]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Arguments args;
    if (!Parse(argc, argv, args)) {
        return Usage();
    }
    const std::wstring& command = args.command;

    if (command == L"hold") {
        return Hold(args);
    }
    if (command == L"mutex") {
        return args.positional.empty() ? Usage() : ProbeMutex(args.positional);
    }
    if (command == L"stats") {
        return args.positional.empty() ? Usage() : Stats(Number(args.positional, 0));
    }
    if (command == L"wait-exit") {
        auto found = args.values.find(L"--timeout-ms");
        DWORD timeoutMs = found == args.values.end() ? INFINITE : Number(found->second, 0);
        return args.positional.empty() ? Usage()
                                       : WaitForExit(Number(args.positional, 0), timeoutMs);
    }
    if (command == L"wait-gone") {
        return WaitUntil([] { return FindWindowW(kWindowClass, nullptr) == nullptr; },
                         TimeoutMs(args), "VestrelTrayWindow still there")
                   ? 0
                   : 1;
    }
    if (command == L"wait-menu" || command == L"wait-menu-gone") {
        bool open = command == L"wait-menu";
        return WaitUntil([open] { return PopupMenuOpen() == open; }, TimeoutMs(args),
                         open ? "no popup menu on screen" : "a popup menu still on screen")
                   ? 0
                   : 1;
    }

    if (command != L"wait" && command != L"tick" && command != L"event" &&
        command != L"taskbar-created" && command != L"close") {
        return Usage();
    }
    HWND window = WaitForWindow(TimeoutMs(args));
    if (window == nullptr) {
        return 1;
    }

    if (command == L"wait") {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        std::printf("hwnd=%lld pid=%lu\n",
                    static_cast<long long>(reinterpret_cast<INT_PTR>(window)), pid);
    } else if (command == L"tick") {
        auto found = args.values.find(L"--count");
        unsigned long count = Number(found == args.values.end() ? L"" : found->second, 1);
        for (unsigned long i = 0; i < count; ++i) {
            Deliver(window, WM_TIMER, kTestTimerId, 0, args.send);
        }
    } else if (command == L"event") {
        if (args.positional.empty()) {
            return Usage();
        }
        auto event = static_cast<WORD>(Number(args.positional, 0));
        Deliver(window, kTrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId), args.send);
    } else if (command == L"taskbar-created") {
        UINT message = RegisterWindowMessageW(L"TaskbarCreated");
        // Like the shell: to every top-level window. Waiting for all of them to answer lets the
        // caller look at the outcome as soon as this returns.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(args.direct ? window : HWND_BROADCAST, message, 0, 0, SMTO_NORMAL,
                            10000, &ignored);
    } else if (command == L"close") {
        Deliver(window, WM_CLOSE, 0, 0, args.send);
    }
    return 0;
}
