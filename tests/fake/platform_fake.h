// The recording fake of the platform: every call the logic makes is recorded in order with copies
// of its arguments, and answered from a script. Profile files, files and folders go through to the
// real API (under Wine in the tests), so the real profile reader and writer are exercised on real
// files in a temporary folder.
//
// A test makes a fake::Platform, and the platform calls record into it while it lives: one at a
// time, made fresh for each test or row of a table, so that nothing is left over from the last.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fake {

// One recorded call. Its arguments are kept by the parameter names of platform.h: texts (a null
// text is recorded as "<null>") and numbers (flags, ids, sizes, handles). Asking for a parameter
// the call does not have throws, so a misspelt name fails the test instead of reading a default.
struct Call {
    std::string name;
    std::map<std::string, std::wstring, std::less<>> texts;
    std::map<std::string, std::uint64_t, std::less<>> numbers;
    NOTIFYICONDATAW record{};        // Shell_NotifyIconW: a copy of the record as sent
    STARTUPINFOW startup{};          // CreateProcessW: a copy of the startup record
    bool processInfoZeroed = false;  // CreateProcessW: PROCESS_INFORMATION came zeroed

    const std::wstring& Text(std::string_view parameter) const;
    std::uint64_t Number(std::string_view parameter) const;
    // A number taken as the signed int it was passed as (coordinates).
    std::int64_t Signed(std::string_view parameter) const {
        return static_cast<std::int64_t>(Number(parameter));
    }
};

struct FakeProcess {
    bool openable = true;
    bool exitCodeReadable = true;
    DWORD exitCode = STILL_ACTIVE;
};

enum class MutexAnswer { Created, AlreadyExists, Fails };

struct Script {
    std::wstring commandLine = L"tray.exe";
    MutexAnswer mutex = MutexAnswer::Created;
    bool windowFails = false;
    UINT taskbarCreatedMessage = 0xC0DE;
    // Answers of Shell_NotifyIconW per request (NIM_ADD, NIM_MODIFY, ...), taken in order; TRUE
    // when a request has no scripted answer left.
    std::map<DWORD, std::deque<BOOL>> notifyAnswers;
    // Runs inside Shell_NotifyIconW before it returns, as messages the shell sends meanwhile do.
    // It runs once, for the first request made after it was set; that request's answer is taken
    // before the hook runs, so requests nested in it take the answers after it.
    std::function<void(DWORD request)> whileNotifying;
    std::map<DWORD, FakeProcess> processes;
    std::int64_t unixNow = 1'780'000'000;
    SYSTEMTIME localTime{2026, 3, 4, 5, 10, 30, 0, 0};
    // Messages handed out by GetMessageW before it returns 0.
    std::deque<MSG> messages;
    // The notification area's taskbar (FindWindowW of Shell_TrayWnd; null: none found) and the
    // scale of its display (GetDpiForWindow; 0, as before Windows 10 1607: not known).
    HWND taskbar = reinterpret_cast<HWND>(0x7E000900);
    UINT taskbarDpi = 96;
    // LoadImageW gives a new image each time (kIconHandle, then the next ones), or none.
    bool imageLoadFails = false;
    // What SHQueryUserNotificationState answers.
    HRESULT notificationStateResult = S_OK;
    QUERY_USER_NOTIFICATION_STATE notificationState = QUNS_ACCEPTS_NOTIFICATIONS;
    // GetKeyState(VK_ESCAPE): the key is down, as right after a menu left with Escape.
    bool escapeDown = false;
    bool popupMenuFails = false;
    std::optional<POINT> cursor = POINT{600, 700};
    DWORD messagePos = 0;
    UINT trackResult = 0;
    std::function<void()> whileTracking;  // runs inside TrackPopupMenu, as the user would
    BOOL createProcessResult = TRUE;
    HRESULT comResult = S_OK;
    // Runs after each profile read, as a companion rewriting the file between two reads would.
    std::function<void(const std::wstring& section, const std::wstring& key)> afterProfileRead;
    // Runs inside ShellExecuteW, as messages dispatched by the shell's hand-off do. The shell reads
    // the arguments it was given until it returns, so the call records them after this has run.
    std::function<void()> whileShellExecuting;
    // Runs once, at the start of the next CreateFileW, as another program that writes the file
    // just then would.
    std::function<void(const std::wstring& path)> beforeOpeningFile;
};

inline constexpr std::uintptr_t kFakeHandleBase = 0x7E000000;
inline const HWND kTrayWindowHandle = reinterpret_cast<HWND>(kFakeHandleBase + 0x100);
inline const HANDLE kMutexHandle = reinterpret_cast<HANDLE>(kFakeHandleBase + 0x200);
inline const HMENU kMenuHandle = reinterpret_cast<HMENU>(kFakeHandleBase + 0x300);
inline const HANDLE kProcessHandle = reinterpret_cast<HANDLE>(kFakeHandleBase + 0x400);
inline const HANDLE kThreadHandle = reinterpret_cast<HANDLE>(kFakeHandleBase + 0x500);
// The first icon image loaded; the nth after it is kIconHandle + 0x10 * n.
inline const HICON kIconHandle = reinterpret_cast<HICON>(kFakeHandleBase + 0x600);
inline HICON LoadedImage(int n) {
    return reinterpret_cast<HICON>(kFakeHandleBase + 0x600 + 0x10 * static_cast<std::uintptr_t>(n));
}
// OpenProcess gives kOpenedProcessBase + the process id.
inline constexpr std::uintptr_t kOpenedProcessBase = kFakeHandleBase + 0x1000000;

// The fake the platform calls reach while it lives. It owns everything the fake keeps: the script,
// the recorded calls and the state of its windows. Making a second one while one lives, or a
// platform call while none does, ends the process with a message that says so.
class Platform {
  public:
    Platform();
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // The recorded calls with the given name, in order.
    std::vector<Call> CallsNamed(std::string_view name) const;

    // The names of all recorded calls, in order, leaving out the names given.
    std::vector<std::string> CallNames(const std::vector<std::string>& except = {}) const;

    // Whether a profile read of this section was made (any key, any file).
    bool ReadSection(std::wstring_view section) const;

    // What the test has the platform answer; it may change it at any moment.
    Script script;
    // Every call made since this fake was made, in order; a test clears it to look at what
    // follows alone.
    std::vector<Call> calls;

    // What the fake's windows keep between calls, as Windows would for the program's window.
    struct Windows {
        WNDPROC procedure = nullptr;  // of the class registered last
        std::map<HWND, LONG_PTR> userData;
        bool quitPosted = false;
    };
    Windows windows;
    // The icon images loaded and not destroyed yet, and how many were loaded in all.
    std::vector<HICON> liveImages;
    int imagesLoaded = 0;
};

inline std::uint64_t HandleValue(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace fake
