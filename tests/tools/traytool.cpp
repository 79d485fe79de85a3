// Drives the tray program from inside Wine the way the shell and the system would: timer ticks,
// icon events, the taskbar's re-creation broadcast and closing its window. Also keeps a live
// process around on request, probes named mutexes, reads a process's resource counters, runs a
// program to its end and tells how a process ended.
//
//   traytool.exe wait [--timeout-ms N]          prints "hwnd=<handle> pid=<id>"
//   ... [--title NAME]                           the window commands (wait, wait-gone, tick,
//                                                event, taskbar-created --direct, close) act on
//                                                the window whose title is exactly NAME: the
//                                                program of that mutex name
//   traytool.exe wait-gone [--timeout-ms N]
//   traytool.exe wait-menu | wait-menu-gone [--timeout-ms N]    a popup menu on screen, or none
//   traytool.exe tick [--count N] [--send]
//   traytool.exe event CODE [--send] [--at X,Y]  CODE in decimal or 0x hex; --at passes the
//                                                point where a menu belongs in wParam, as the
//                                                shell does with version 4 (signed screen
//                                                coordinates)
//   traytool.exe taskbar-created [--direct]
//   traytool.exe close [--send]
//   traytool.exe hold [--mutex NAME] [--event NAME]   prints "pid=<id>", then waits to be killed
//   traytool.exe mutex NAME                      prints "created=<0|1> error=<code>"
//   traytool.exe stats PID
//   traytool.exe wait-exit PID [--timeout-ms N]  prints "exit=<code>" once the process has ended
//   traytool.exe run [--timeout-ms N] -- EXE [ARGS...]   prints "pid=<id>", then "exit=<code>"
//   traytool.exe serve                           one command a line on stdin, one answer a line
//
// Every run prints "started" on stdout before it does anything, and every command that succeeds
// prints one result line on stdout as its last act (for example "ticks=50 posted"). So a caller
// knows that a command was done even when Wine garbles the exit status of a process that had
// already finished, and that it was not even begun when Wine ends the process before its first
// line (measured: about once in ten thousand starts, with status 1 and nothing said; see the
// bench's README). A command that fails says why on stderr. Exit codes: 0 done, 1 the window or
// process was not found or did not end in time, 2 bad command line, 3 a Windows call failed.
//
// Without --send, messages are posted and the command returns at once; with --send it returns
// once the program has handled them, so a test may look at the outcome straight away.
//
// serve keeps one process for many commands (wait, tick, event, close, taskbar-created, stats),
// so that a long test does not start a Windows process for each: it answers every line with the
// command's result line, or with "error <code> <reason>", and ends at the end of its input.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
constexpr DWORD kDefaultTimeoutMs = 10000;

constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;
constexpr int kCallFailed = 3;

// In serve mode a failure is an answer on stdout, so that the caller reads one line per command.
bool g_serving = false;

void Answer(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Fail(int code, const char* format, ...) {
    char reason[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    if (g_serving) {
        // One line per answer.
        std::replace(std::begin(reason), std::end(reason), '\n', ' ');
        Answer("error %d %s", code, reason);
    } else {
        std::fprintf(stderr, "traytool: %s\n", reason);
        std::fflush(stderr);
    }
    return code;
}

struct Arguments {
    std::wstring command;
    std::wstring positional;
    std::map<std::wstring, std::wstring> values;
    bool send = false;
    bool direct = false;
};

bool Parse(const std::vector<std::wstring>& words, Arguments& out) {
    if (words.empty()) {
        return false;
    }
    out.command = words[0];
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        if (word == L"--send") {
            out.send = true;
        } else if (word == L"--direct") {
            out.direct = true;
        } else if (word.rfind(L"--", 0) == 0) {
            if (i + 1 >= words.size()) {
                return false;
            }
            out.values[word] = words[++i];
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

std::wstring Value(const Arguments& args, const wchar_t* name) {
    auto found = args.values.find(name);
    return found == args.values.end() ? L"" : found->second;
}

DWORD TimeoutMs(const Arguments& args) {
    return Number(Value(args, L"--timeout-ms"), kDefaultTimeoutMs);
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// The program's window, or with a title the one whose title is exactly that: FindWindowW would
// match a title without regard to letter case, and mutex names are told apart by it.
HWND FindTrayWindowNow(const std::wstring& title) {
    if (title.empty()) {
        return FindWindowW(kWindowClass, nullptr);
    }
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, kWindowClass, nullptr)) != nullptr) {
        std::vector<wchar_t> text(title.size() + 2, L'\0');
        const int length = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
        if (length >= 0 && std::wstring(text.data(), static_cast<std::size_t>(length)) == title) {
            return window;
        }
    }
    return nullptr;
}

HWND FindTrayWindow(const std::wstring& title, DWORD timeoutMs) {
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindTrayWindowNow(title)) != nullptr; }, timeoutMs);
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

// Posts or sends one message; 0, or the reason Windows refused it: a full message queue refuses a
// post, a window that does not answer in time a send.
DWORD Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool send, DWORD timeoutMs) {
    SetLastError(ERROR_SUCCESS);
    bool delivered = false;
    if (send) {
        DWORD_PTR result = 0;
        delivered = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs,
                                        &result) != 0;
    } else {
        delivered = PostMessageW(window, message, wParam, lParam) != 0;
    }
    if (delivered) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

int Hold(const Arguments& args) {
    // The handles stay open for as long as the process lives; that is the point.
    if (std::wstring name = Value(args, L"--mutex"); !name.empty()) {
        if (CreateMutexW(nullptr, TRUE, name.c_str()) == nullptr) {
            return Fail(kCallFailed, "cannot create the mutex (error %lu)", GetLastError());
        }
    }
    if (std::wstring name = Value(args, L"--event"); !name.empty()) {
        if (CreateEventW(nullptr, TRUE, FALSE, name.c_str()) == nullptr) {
            return Fail(kCallFailed, "cannot create the event (error %lu)", GetLastError());
        }
    }
    Answer("pid=%lu", GetCurrentProcessId());
    Sleep(INFINITE);
    return kDone;
}

int ProbeMutex(const std::wstring& name) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    DWORD error = GetLastError();
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
    Answer("created=%d error=%lu", mutex != nullptr ? 1 : 0, error);
    return kDone;
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
        return Fail(kNotFound, "cannot open process %lu (error %lu)", pid, GetLastError());
    }
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof memory);
    DWORD gdiObjects = GetGuiResources(process, GR_GDIOBJECTS);
    DWORD userObjects = GetGuiResources(process, GR_USEROBJECTS);
    CloseHandle(process);
    Answer(
        "handles=%lu system_handles=%ld private_bytes=%llu pagefile_bytes=%llu working_set=%llu "
        "gdi_objects=%lu user_objects=%lu",
        handles, CountHandlesInSystemTable(pid),
        static_cast<unsigned long long>(memory.PrivateUsage),
        static_cast<unsigned long long>(memory.PagefileUsage),
        static_cast<unsigned long long>(memory.WorkingSetSize), gdiObjects, userObjects);
    return kDone;
}

// What a Windows parent would see as the exit code. Under Wine the Linux exit status of a process
// can be lost when Wine's loader fails on the way out, this cannot.
int WaitForExit(HANDLE process, DWORD pid, DWORD timeoutMs) {
    DWORD waited = WaitForSingleObject(process, timeoutMs);
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0) {
        return Fail(kNotFound, "process %lu still running after %lu ms", pid, timeoutMs);
    }
    if (!GetExitCodeProcess(process, &code)) {
        return Fail(kCallFailed, "no exit code of process %lu (error %lu)", pid, GetLastError());
    }
    Answer("exit=%lu", code);
    return kDone;
}

int WatchExit(DWORD pid, DWORD timeoutMs) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return Fail(kNotFound, "cannot open process %lu (error %lu)", pid, GetLastError());
    }
    std::printf("watching pid=%lu\n", pid);
    std::fflush(stdout);
    int result = WaitForExit(process, pid, timeoutMs);
    CloseHandle(process);
    return result;
}

// The quoting that CommandLineToArgvW undoes: the program started gets exactly these words.
std::wstring QuoteArgument(const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return word;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which is escaped itself.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

// run [--timeout-ms N] -- EXE [ARGS...]: the program's own exit code, as Windows reports it.
int Run(int argc, wchar_t** argv) {
    int at = 2;
    DWORD timeoutMs = INFINITE;
    if (at + 1 < argc && std::wcscmp(argv[at], L"--timeout-ms") == 0) {
        timeoutMs = Number(argv[at + 1], INFINITE);
        at += 2;
    }
    if (at + 1 >= argc || std::wcscmp(argv[at], L"--") != 0) {
        return Fail(kUsage, "usage: traytool run [--timeout-ms N] -- EXE [ARGS...]");
    }
    ++at;
    std::wstring commandLine;
    for (int i = at; i < argc; ++i) {
        commandLine += (i > at ? L" " : L"") + QuoteArgument(argv[i]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(argv[at], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
        return Fail(kCallFailed, "cannot start %ls (error %lu)", argv[at], GetLastError());
    }
    CloseHandle(started.hThread);
    std::printf("pid=%lu\n", started.dwProcessId);
    std::fflush(stdout);
    int result = WaitForExit(started.hProcess, started.dwProcessId, timeoutMs);
    if (result != kDone) {
        TerminateProcess(started.hProcess, 1);
    }
    CloseHandle(started.hProcess);
    return result;
}

int Usage() {
    return Fail(kUsage,
                "usage: traytool wait | wait-gone | wait-menu | wait-menu-gone [--timeout-ms N]\n"
                "       traytool tick [--count N] [--send] | event CODE [--send] [--at X,Y]\n"
                "       traytool taskbar-created [--direct] | close [--send]\n"
                "       traytool hold [--mutex NAME] [--event NAME] | mutex NAME\n"
                "       traytool stats PID | wait-exit PID [--timeout-ms N]\n"
                "       traytool run [--timeout-ms N] -- EXE [ARGS...] | serve");
}

// The commands that act on the program's window, and stats: the ones serve offers.
int WindowCommand(const Arguments& args) {
    const std::wstring& command = args.command;
    if (command == L"stats") {
        return args.positional.empty() ? Usage() : Stats(Number(args.positional, 0));
    }
    if (command != L"wait" && command != L"tick" && command != L"event" &&
        command != L"taskbar-created" && command != L"close") {
        return Usage();
    }
    const std::wstring title = Value(args, L"--title");
    HWND window = FindTrayWindow(title, TimeoutMs(args));
    if (window == nullptr) {
        return Fail(kNotFound, "no %ls window%s%ls after %lu ms", kWindowClass,
                    title.empty() ? "" : " titled ", title.c_str(), TimeoutMs(args));
    }
    const DWORD timeoutMs = TimeoutMs(args);
    const char* how = args.send ? "sent" : "posted";

    if (command == L"wait") {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        Answer("hwnd=%lld pid=%lu", static_cast<long long>(reinterpret_cast<INT_PTR>(window)), pid);
    } else if (command == L"tick") {
        unsigned long count = Number(Value(args, L"--count"), 1);
        for (unsigned long i = 0; i < count; ++i) {
            if (DWORD error = Deliver(window, WM_TIMER, kTestTimerId, 0, args.send, timeoutMs)) {
                return Fail(kCallFailed, "tick %lu of %lu not %s (error %lu)", i + 1, count, how,
                            error);
            }
        }
        Answer("ticks=%lu %s", count, how);
    } else if (command == L"event") {
        if (args.positional.empty()) {
            return Usage();
        }
        auto event = static_cast<WORD>(Number(args.positional, 0));
        WPARAM anchor = 0;
        if (const std::wstring at = Value(args, L"--at"); !at.empty()) {
            int x = 0;
            int y = 0;
            if (std::swscanf(at.c_str(), L"%d,%d", &x, &y) != 2) {
                return Usage();
            }
            anchor = static_cast<WPARAM>(
                static_cast<DWORD>(MAKELONG(static_cast<WORD>(x), static_cast<WORD>(y))));
        }
        if (DWORD error = Deliver(window, kTrayCallbackMessage, anchor,
                                  MAKELPARAM(event, kTrayIconId), args.send, timeoutMs)) {
            return Fail(kCallFailed, "event 0x%04x not %s (error %lu)", event, how, error);
        }
        Answer("event=0x%04x %s", event, how);
    } else if (command == L"taskbar-created") {
        UINT message = RegisterWindowMessageW(L"TaskbarCreated");
        // Like the shell: to every top-level window. Waiting for all of them to answer lets the
        // caller look at the outcome as soon as this returns.
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutW(args.direct ? window : HWND_BROADCAST, message, 0, 0, SMTO_NORMAL,
                                timeoutMs, &ignored) == 0) {
            return Fail(kCallFailed, "TaskbarCreated not delivered (error %lu)", GetLastError());
        }
        Answer("taskbar-created %s", args.direct ? "direct" : "broadcast");
    } else if (command == L"close") {
        if (DWORD error = Deliver(window, WM_CLOSE, 0, 0, args.send, timeoutMs)) {
            return Fail(kCallFailed, "WM_CLOSE not %s (error %lu)", how, error);
        }
        Answer("close %s", how);
    }
    return kDone;
}

std::vector<std::wstring> Words(const std::string& line) {
    std::vector<std::wstring> words;
    std::wstring word;
    for (char c : line + " ") {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
        } else {
            word.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
    }
    return words;
}

int Serve() {
    g_serving = true;
    Answer("serving pid=%lu", GetCurrentProcessId());
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        Arguments args;
        std::vector<std::wstring> words = Words(buffer);
        if (words.empty()) {
            continue;
        }
        if (!Parse(words, args)) {
            Usage();
            continue;
        }
        WindowCommand(args);
    }
    return kDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Answer("started");
    if (argc >= 2 && std::wcscmp(argv[1], L"run") == 0) {
        return Run(argc, argv);
    }
    Arguments args;
    if (!Parse(std::vector<std::wstring>(argv + 1, argv + argc), args)) {
        return Usage();
    }
    const std::wstring& command = args.command;

    if (command == L"serve") {
        return Serve();
    }
    if (command == L"hold") {
        return Hold(args);
    }
    if (command == L"mutex") {
        return args.positional.empty() ? Usage() : ProbeMutex(args.positional);
    }
    if (command == L"wait-exit") {
        std::wstring timeout = Value(args, L"--timeout-ms");
        DWORD timeoutMs = timeout.empty() ? INFINITE : Number(timeout, 0);
        return args.positional.empty() ? Usage() : WatchExit(Number(args.positional, 0), timeoutMs);
    }
    if (command == L"wait-gone") {
        const std::wstring title = Value(args, L"--title");
        if (!WaitUntil([&title] { return FindTrayWindowNow(title) == nullptr; }, TimeoutMs(args))) {
            return Fail(kNotFound, "%ls still there after %lu ms", kWindowClass, TimeoutMs(args));
        }
        Answer("gone");
        return kDone;
    }
    if (command == L"wait-menu" || command == L"wait-menu-gone") {
        bool open = command == L"wait-menu";
        if (!WaitUntil([open] { return PopupMenuOpen() == open; }, TimeoutMs(args))) {
            return Fail(kNotFound, "%s after %lu ms",
                        open ? "no popup menu on screen" : "a popup menu still on screen",
                        TimeoutMs(args));
        }
        Answer(open ? "menu open" : "menu closed");
        return kDone;
    }
    return WindowCommand(args);
}
