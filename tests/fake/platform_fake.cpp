#include "platform_fake.h"

#include <shlobj.h>

#include <algorithm>

namespace fake {

Script script;
std::vector<Call> calls;

namespace {

WNDPROC registeredWindowProc = nullptr;
bool quitPosted = false;

std::wstring Text(LPCWSTR text) {
    return text != nullptr ? std::wstring(text) : L"<null>";
}

std::uint64_t Number(const void* handle) {
    return HandleValue(handle);
}

Call& Record(std::string name, std::vector<std::wstring> texts = {},
             std::vector<std::uint64_t> numbers = {}) {
    calls.push_back(Call{std::move(name), std::move(texts), std::move(numbers)});
    return calls.back();
}

bool IsFakeHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kFakeHandleBase && value < kOpenedProcessBase + 0x100000000ull;
}

}  // namespace

void Reset() {
    script = Script{};
    calls.clear();
    registeredWindowProc = nullptr;
    quitPosted = false;
}

std::vector<Call> CallsNamed(std::string_view name) {
    std::vector<Call> named;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(named),
                 [name](const Call& call) { return call.name == name; });
    return named;
}

std::vector<std::string> CallNames(const std::vector<std::string>& except) {
    std::vector<std::string> names;
    for (const Call& call : calls) {
        if (std::find(except.begin(), except.end(), call.name) == except.end()) {
            names.push_back(call.name);
        }
    }
    return names;
}

bool ReadSection(std::wstring_view section) {
    return std::any_of(calls.begin(), calls.end(), [section](const Call& call) {
        return call.name == "GetPrivateProfileStringW" && call.texts[0] == section;
    });
}

}  // namespace fake

namespace platform {

using fake::calls;
using fake::Record;
using fake::script;

BOOL SetDefaultDllDirectories(DWORD flags) {
    Record("SetDefaultDllDirectories", {}, {flags});
    return TRUE;
}

LPWSTR GetCommandLineW() {
    Record("GetCommandLineW");
    return script.commandLine.data();
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc) {
    Record("CommandLineToArgvW", {fake::Text(commandLine)});
    // The real splitter, so the tests see Windows' own quoting rules.
    return ::CommandLineToArgvW(commandLine, argc);
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree", {}, {fake::Number(memory)});
    return ::LocalFree(memory);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
    Record("CreateMutexW", {fake::Text(name)},
           {fake::Number(attributes), static_cast<std::uint64_t>(initialOwner)});
    return script.mutex == fake::MutexAnswer::Fails ? nullptr : fake::kMutexHandle;
}

DWORD GetLastError() {
    Record("GetLastError");
    return script.mutex == fake::MutexAnswer::AlreadyExists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

BOOL CloseHandle(HANDLE handle) {
    Record("CloseHandle", {}, {fake::Number(handle)});
    if (fake::IsFakeHandle(handle)) {
        return TRUE;
    }
    return ::CloseHandle(handle);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    Record(
        "RegisterClassW", {fake::Text(windowClass->lpszClassName)},
        {windowClass->style, fake::Number(windowClass->hInstance), fake::Number(windowClass->hIcon),
         fake::Number(windowClass->hCursor), fake::Number(windowClass->hbrBackground),
         static_cast<std::uint64_t>(windowClass->cbClsExtra),
         static_cast<std::uint64_t>(windowClass->cbWndExtra)});
    fake::registeredWindowProc = windowClass->lpfnWndProc;
    return 1;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    Record("CreateWindowExW", {fake::Text(className), fake::Text(windowName)},
           {exStyle, style, static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y),
            static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
            fake::Number(parent), fake::Number(menu), fake::Number(instance), fake::Number(param)});
    return script.windowFails ? nullptr : fake::kTrayWindowHandle;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    Record("RegisterWindowMessageW", {fake::Text(name)});
    return script.taskbarCreatedMessage;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc) {
    Record("SetTimer", {},
           {fake::Number(window), id, elapse, fake::Number(reinterpret_cast<void*>(timerProc))});
    return id;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Record("DefWindowProcW", {},
           {fake::Number(window), message, wParam, static_cast<std::uint64_t>(lParam)});
    return 0x5A5A;
}

void PostQuitMessage(int exitCode) {
    Record("PostQuitMessage", {}, {static_cast<std::uint64_t>(exitCode)});
    fake::quitPosted = true;
}

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    Record("GetMessageW", {}, {fake::Number(window), filterMin, filterMax});
    if (fake::quitPosted || script.messages.empty()) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        return FALSE;
    }
    *msg = script.messages.front();
    script.messages.pop_front();
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG* msg) {
    Record("TranslateMessage", {}, {msg->message});
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    Record("DispatchMessageW", {}, {msg->message});
    if (fake::registeredWindowProc == nullptr) {
        return 0;
    }
    return fake::registeredWindowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Record("PostMessageW", {},
           {fake::Number(window), message, wParam, static_cast<std::uint64_t>(lParam)});
    return TRUE;
}

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    Record("LoadImageW", {},
           {fake::Number(instance), fake::Number(name), type, static_cast<std::uint64_t>(cx),
            static_cast<std::uint64_t>(cy), flags});
    return fake::kIconHandle;
}

int GetSystemMetrics(int index) {
    Record("GetSystemMetrics", {}, {static_cast<std::uint64_t>(index)});
    return index == SM_CXSMICON ? 20 : index == SM_CYSMICON ? 21 : 0;
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    fake::Call& call = Record("Shell_NotifyIconW", {}, {message});
    call.record = *data;
    if (script.whileNotifying) {
        // Moved out first: a nested request must not run the hook again.
        const auto hook = std::move(script.whileNotifying);
        script.whileNotifying = nullptr;
        hook(message);
    }
    std::deque<BOOL>& answers = script.notifyAnswers[message];
    if (answers.empty()) {
        return TRUE;
    }
    const BOOL answer = answers.front();
    answers.pop_front();
    return answer;
}

HMENU CreatePopupMenu() {
    Record("CreatePopupMenu");
    return script.popupMenuFails ? nullptr : fake::kMenuHandle;
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
    Record("AppendMenuW", {fake::Text(text)}, {fake::Number(menu), flags, id});
    return TRUE;
}

BOOL GetCursorPos(LPPOINT point) {
    Record("GetCursorPos");
    if (!script.cursor) {
        return FALSE;
    }
    *point = *script.cursor;
    return TRUE;
}

DWORD GetMessagePos() {
    Record("GetMessagePos");
    return script.messagePos;
}

BOOL SetForegroundWindow(HWND window) {
    Record("SetForegroundWindow", {}, {fake::Number(window)});
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window,
                    const RECT* rect) {
    Record("TrackPopupMenu", {},
           {fake::Number(menu), flags, static_cast<std::uint64_t>(static_cast<std::int64_t>(x)),
            static_cast<std::uint64_t>(static_cast<std::int64_t>(y)),
            static_cast<std::uint64_t>(reserved), fake::Number(window), fake::Number(rect)});
    if (script.whileTracking) {
        script.whileTracking();
    }
    return static_cast<BOOL>(script.trackResult);
}

BOOL DestroyMenu(HMENU menu) {
    Record("DestroyMenu", {}, {fake::Number(menu)});
    return TRUE;
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    Record("GetPrivateProfileStringW",
           {fake::Text(section), fake::Text(key), fake::Text(defaultValue), fake::Text(path)},
           {size});
    return ::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    Record("WritePrivateProfileStringW",
           {fake::Text(section), fake::Text(key), fake::Text(value), fake::Text(path)});
    return ::WritePrivateProfileStringW(section, key, value, path);
}

DWORD GetFileAttributesW(LPCWSTR path) {
    Record("GetFileAttributesW", {fake::Text(path)});
    return ::GetFileAttributesW(path);
}

int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes) {
    Record("SHCreateDirectoryExW", {fake::Text(path)},
           {fake::Number(window), fake::Number(attributes)});
    return ::SHCreateDirectoryExW(window, path, attributes);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    Record("CreateFileW", {fake::Text(path)},
           {access, shareMode, fake::Number(attributes), disposition, flags,
            fake::Number(templateFile)});
    return ::CreateFileW(path, access, shareMode, attributes, disposition, flags, templateFile);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    Record("WriteFile", {}, {size});
    return ::WriteFile(file, buffer, size, written, overlapped);
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    Record("OpenProcess", {}, {access, static_cast<std::uint64_t>(inherit), processId});
    const auto found = script.processes.find(processId);
    if (found == script.processes.end() || !found->second.openable) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(fake::kOpenedProcessBase + processId);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    Record("GetExitCodeProcess", {}, {fake::Number(process)});
    const auto processId =
        static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process) - fake::kOpenedProcessBase);
    const fake::FakeProcess& fakeProcess = script.processes.at(processId);
    if (!fakeProcess.exitCodeReadable) {
        return FALSE;
    }
    *exitCode = fakeProcess.exitCode;
    return TRUE;
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInfo) {
    fake::Call& call = Record(
        "CreateProcessW",
        {fake::Text(applicationName), fake::Text(commandLine), fake::Text(currentDirectory)},
        {fake::Number(processAttributes), fake::Number(threadAttributes),
         static_cast<std::uint64_t>(inheritHandles), creationFlags, fake::Number(environment)});
    call.startup = *startupInfo;
    const PROCESS_INFORMATION zero{};
    call.processInfoZeroed = processInfo->hProcess == zero.hProcess &&
                             processInfo->hThread == zero.hThread &&
                             processInfo->dwProcessId == 0 && processInfo->dwThreadId == 0;
    if (!script.createProcessResult) {
        return FALSE;
    }
    processInfo->hProcess = fake::kProcessHandle;
    processInfo->hThread = fake::kThreadHandle;
    processInfo->dwProcessId = 4242;
    processInfo->dwThreadId = 4343;
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT showCommand) {
    Record("ShellExecuteW",
           {fake::Text(verb), fake::Text(file), fake::Text(parameters), fake::Text(directory)},
           {fake::Number(window), static_cast<std::uint64_t>(showCommand)});
    return reinterpret_cast<HINSTANCE>(42);
}

void GetLocalTime(LPSYSTEMTIME time) {
    Record("GetLocalTime");
    *time = script.localTime;
}

std::int64_t UnixTimeNow() {
    Record("UnixTimeNow");
    return script.unixNow;
}

}  // namespace platform
