// Checks that the floor of the tick benchmark is the program's tick call for call: one timer tick
// of the program and one run of the floor go through the recording fake on the same worst-state
// files, and the two recordings must match in order, names and arguments. So a tick makes one
// icon refresh and one notice pass and nothing more, and the floor leaves nothing out.
//
//   tick-calls-check.exe      prints the calls per tick; exit code 0 when they match, 1 if not
#include "floor_tick.h"
#include "worst_state.h"

#include "platform_fake.h"

#include "app/tray_companion.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

struct FakeCalls {
    static DWORD GetFileAttributesW(LPCWSTR path) { return platform::GetFileAttributesW(path); }
    static DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                          LPWSTR buffer, DWORD size, LPCWSTR path) {
        return platform::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
    }
    static std::int64_t UnixTimeNow() { return platform::UnixTimeNow(); }
    static HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
        return platform::OpenProcess(access, inherit, processId);
    }
    static BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
        return platform::GetExitCodeProcess(process, exitCode);
    }
    static HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
        return platform::CreateFileW(path, access, shareMode, attributes, disposition, flags,
                                     templateFile);
    }
    static BOOL CloseHandle(HANDLE handle) { return platform::CloseHandle(handle); }
    static BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
        return platform::Shell_NotifyIconW(message, data);
    }
    static void GetLocalTime(LPSYSTEMTIME time) { platform::GetLocalTime(time); }
    static LONG_PTR GetWindowLongPtrW(HWND window, int index) {
        return platform::GetWindowLongPtrW(window, index);
    }
};

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::string Describe(const fake::Call& call) {
    std::string text = call.name;
    text += '(';
    for (const auto& [parameter, argument] : call.texts) {
        text += parameter + "=\"" + Narrow(argument) + "\" ";
    }
    for (const auto& [parameter, number] : call.numbers) {
        text += parameter + "=" + std::to_string(number) + " ";
    }
    text += ')';
    return text;
}

bool SameCall(const fake::Call& a, const fake::Call& b) {
    if (a.name != b.name || a.texts != b.texts || a.numbers != b.numbers) {
        return false;
    }
    // The icon update must carry the same record, or the floor would send something cheaper.
    if (a.name == "Shell_NotifyIconW") {
        return a.record.uFlags == b.record.uFlags &&
               std::wcscmp(a.record.szTip, b.record.szTip) == 0;
    }
    return true;
}

}  // namespace

int wmain() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"vestrel-tick-calls-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);

    constexpr DWORD kCompanionPid = 4711;
    fake::Platform fake;
    fake.script.processes[kCompanionPid] = fake::FakeProcess{};
    const bench::WorstStateFiles files =
        bench::WriteWorstState(folder, kCompanionPid, fake.script.unixNow);
    // The program as it starts, its window the fake's; then one tick as the loop delivers it.
    TrayCompanion companion(StartupOptions{.mutexName = L"VestrelTickCalls",
                                           .statePath = files.statePath,
                                           .seenPath = files.seenPath,
                                           .pythonwPath = L"pythonw.exe",
                                           .launcherPath = L"launch.py"});
    const bool started = companion.Start(nullptr);
    fake.calls.clear();

    TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, kRefreshTimerId, 0);
    const std::vector<fake::Call> programCalls = fake.calls;
    const bool nothingQueued = started && companion.Icon().IsAdded() &&
                               companion.Notices().Queue().empty() &&
                               !companion.Notices().IsBalloonShowing();

    fake.calls.clear();
    bench::FloorTick<FakeCalls> floor(files, companion.Icon().Record());
    floor.Run();
    const std::vector<fake::Call> floorCalls = fake.calls;

    ::DeleteFileW(files.statePath.c_str());
    ::DeleteFileW(files.seenPath.c_str());
    ::RemoveDirectoryW(folder.c_str());

    std::map<std::string, int> counts;
    for (const fake::Call& call : programCalls) {
        ++counts[call.name];
    }
    std::printf("calls in one program tick: %zu\n", programCalls.size());
    for (const auto& [name, count] : counts) {
        std::printf("  %-26s %d\n", name.c_str(), count);
    }

    bool match = nothingQueued && programCalls.size() == floorCalls.size();
    for (std::size_t i = 0; i < std::min(programCalls.size(), floorCalls.size()); ++i) {
        if (!SameCall(programCalls[i], floorCalls[i])) {
            std::printf("call %zu differs:\n  program %s\n  floor   %s\n", i,
                        Describe(programCalls[i]).c_str(), Describe(floorCalls[i]).c_str());
            match = false;
            break;
        }
    }
    if (programCalls.size() != floorCalls.size()) {
        std::printf("the program made %zu calls, the floor %zu\n", programCalls.size(),
                    floorCalls.size());
    }
    if (!nothingQueued) {
        std::printf("the tick queued or showed a notice: not the steady state\n");
    }
    std::printf("program tick and floor: %s\n", match ? "the same calls" : "DIFFERENT");
    return match ? 0 : 1;
}
