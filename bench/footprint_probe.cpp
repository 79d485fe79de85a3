// Finds running programs by the class of their hidden window and reports the memory counters of
// each, read the same way for all of them in one pass: the process's working set and private
// bytes from GetProcessMemoryInfo. With --ticks it first sends each window that many timer
// messages and waits until they are handled, so a tray program has settled into its steady state.
//
//   footprint-probe.exe [--ticks N] [--timeout-ms N] CLASS...
//
// Prints one line per class: "class=<name> pid=<id> working_set=<bytes> private_bytes=<bytes>
// peak_working_set=<bytes>". Exit codes: 0 all measured, 1 a window or process was not found,
// 2 bad command line.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

HWND WaitForWindow(const std::wstring& windowClass, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND window = ::FindWindowW(windowClass.c_str(), nullptr); window != nullptr) {
            return window;
        }
        if (::GetTickCount64() >= deadline) {
            return nullptr;
        }
        ::Sleep(20);
    }
}

bool Report(const std::wstring& windowClass, HWND window) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) {
        std::fwprintf(stderr, L"cannot open process %lu of %ls (error %lu)\n", pid,
                      windowClass.c_str(), ::GetLastError());
        return false;
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    const BOOL read = ::GetProcessMemoryInfo(
        process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    ::CloseHandle(process);
    if (!read) {
        std::fwprintf(stderr, L"no memory counters for %ls (error %lu)\n", windowClass.c_str(),
                      ::GetLastError());
        return false;
    }
    std::wprintf(L"class=%ls pid=%lu working_set=%llu private_bytes=%llu peak_working_set=%llu\n",
                 windowClass.c_str(), pid, static_cast<unsigned long long>(memory.WorkingSetSize),
                 static_cast<unsigned long long>(memory.PrivateUsage),
                 static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    unsigned long ticks = 0;
    DWORD timeoutMs = 15000;
    std::vector<std::wstring> classes;
    for (int i = 1; i < argc; ++i) {
        const std::wstring word = argv[i];
        if ((word == L"--ticks" || word == L"--timeout-ms") && i + 1 < argc) {
            const unsigned long value = std::wcstoul(argv[++i], nullptr, 10);
            (word == L"--ticks" ? ticks : timeoutMs) = value;
        } else if (word.rfind(L"--", 0) == 0) {
            classes.clear();
            break;
        } else {
            classes.push_back(word);
        }
    }
    if (classes.empty()) {
        std::fprintf(stderr, "usage: footprint-probe [--ticks N] [--timeout-ms N] CLASS...\n");
        return 2;
    }

    std::vector<HWND> windows;
    for (const std::wstring& windowClass : classes) {
        HWND window = WaitForWindow(windowClass, timeoutMs);
        if (window == nullptr) {
            std::fwprintf(stderr, L"no window of class %ls after %lu ms\n", windowClass.c_str(),
                          timeoutMs);
            return 1;
        }
        windows.push_back(window);
    }
    // Sent, not posted, so that every tick has been handled before the counters are read.
    for (unsigned long tick = 0; tick < ticks; ++tick) {
        for (HWND window : windows) {
            DWORD_PTR ignored = 0;
            ::SendMessageTimeoutW(window, WM_TIMER, 1, 0, SMTO_NORMAL, 10000, &ignored);
        }
    }
    bool all = true;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        all = Report(classes[i], windows[i]) && all;
    }
    return all ? 0 : 1;
}
