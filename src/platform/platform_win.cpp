// The real platform: each function forwards to the Windows API of the same name.
#include "platform/platform.h"

#include <shlobj.h>

#include <ctime>

namespace platform {

BOOL SetDefaultDllDirectories(DWORD flags) {
    return ::SetDefaultDllDirectories(flags);
}

LPWSTR GetCommandLineW() {
    return ::GetCommandLineW();
}
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc) {
    return ::CommandLineToArgvW(commandLine, argc);
}
HLOCAL LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
    return ::CreateMutexW(attributes, initialOwner, name);
}
DWORD GetLastError() {
    return ::GetLastError();
}
BOOL CloseHandle(HANDLE handle) {
    return ::CloseHandle(handle);
}

BOOL ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action,
                                 PCHANGEFILTERSTRUCT changeFilterStruct) {
    return ::ChangeWindowMessageFilterEx(window, message, action, changeFilterStruct);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    return ::RegisterClassW(windowClass);
}
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    return ::CreateWindowExW(exStyle, className, windowName, style, x, y, width, height, parent,
                             menu, instance, param);
}
UINT RegisterWindowMessageW(LPCWSTR name) {
    return ::RegisterWindowMessageW(name);
}
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    return ::SetWindowLongPtrW(window, index, value);
}
LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    return ::GetWindowLongPtrW(window, index);
}
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc) {
    return ::SetTimer(window, id, elapse, timerProc);
}
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}
void PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    return ::GetMessageW(msg, window, filterMin, filterMax);
}
BOOL TranslateMessage(const MSG* msg) {
    return ::TranslateMessage(msg);
}
LRESULT DispatchMessageW(const MSG* msg) {
    return ::DispatchMessageW(msg);
}
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam);
}

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    return ::LoadImageW(instance, name, type, cx, cy, flags);
}
BOOL DestroyIcon(HICON icon) {
    return ::DestroyIcon(icon);
}
int GetSystemMetrics(int index) {
    return ::GetSystemMetrics(index);
}
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    return ::FindWindowW(className, windowName);
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    return ::Shell_NotifyIconW(message, data);
}
HRESULT SHQueryUserNotificationState(QUERY_USER_NOTIFICATION_STATE* state) {
    return ::SHQueryUserNotificationState(state);
}

HMENU CreatePopupMenu() {
    return ::CreatePopupMenu();
}
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
    return ::AppendMenuW(menu, flags, id, text);
}
BOOL GetCursorPos(LPPOINT point) {
    return ::GetCursorPos(point);
}
DWORD GetMessagePos() {
    return ::GetMessagePos();
}
BOOL SetForegroundWindow(HWND window) {
    return ::SetForegroundWindow(window);
}
SHORT GetKeyState(int virtualKey) {
    return ::GetKeyState(virtualKey);
}
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window,
                    const RECT* rect) {
    return ::TrackPopupMenu(menu, flags, x, y, reserved, window, rect);
}
BOOL DestroyMenu(HMENU menu) {
    return ::DestroyMenu(menu);
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    return ::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
}
BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    return ::WritePrivateProfileStringW(section, key, value, path);
}
DWORD GetFileAttributesW(LPCWSTR path) {
    return ::GetFileAttributesW(path);
}
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes) {
    return ::SHCreateDirectoryExW(window, path, attributes);
}
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    return ::GetFullPathNameW(path, size, buffer, filePart);
}
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    return ::CreateFileW(path, access, shareMode, attributes, disposition, flags, templateFile);
}
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return ::WriteFile(file, buffer, size, written, overlapped);
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    return ::OpenProcess(access, inherit, processId);
}
BOOL AllowSetForegroundWindow(DWORD processId) {
    return ::AllowSetForegroundWindow(processId);
}
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
}
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInfo) {
    return ::CreateProcessW(applicationName, commandLine, processAttributes, threadAttributes,
                            inheritHandles, creationFlags, environment, currentDirectory,
                            startupInfo, processInfo);
}
HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT showCommand) {
    return ::ShellExecuteW(window, verb, file, parameters, directory, showCommand);
}

void GetLocalTime(LPSYSTEMTIME time) {
    ::GetLocalTime(time);
}
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID information) {
    return ::GetFileAttributesExW(path, infoLevel, information);
}
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    return ::GetFileSizeEx(file, size);
}

namespace {

// ole32 is loaded from the system folder the first time COM is asked for, and kept for the rest
// of the run. It is not imported: an import is loaded at start, and under Wine that alone adds
// about a megabyte to the working set of a program that may never hand an address to the shell.
template <typename Function>
Function Ole32Function(const char* name) {
    static const HMODULE ole32 =
        ::LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (ole32 == nullptr) {
        return nullptr;
    }
    // Through the one function type that converts to any other without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(ole32, name)));
}

}  // namespace

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    using Function = HRESULT(WINAPI*)(LPVOID, DWORD);
    const auto function = Ole32Function<Function>("CoInitializeEx");
    return function != nullptr ? function(reserved, coInit) : E_NOTIMPL;
}
void CoUninitialize() {
    using Function = void(WINAPI*)();
    if (const auto function = Ole32Function<Function>("CoUninitialize")) {
        function();
    }
}

namespace {

// Functions of user32, which every GUI program loads at start, that older versions of Windows 10
// lack: looked up once, so that the program still starts there.
template <typename Function>
Function User32Function(const char* name) {
    static const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(user32, name)));
}

}  // namespace

UINT GetDpiForWindow(HWND window) {
    using Function = UINT(WINAPI*)(HWND);
    static const auto function = User32Function<Function>("GetDpiForWindow");
    return function != nullptr ? function(window) : 0;
}
int GetSystemMetricsForDpi(int index, UINT dpi) {
    using Function = int(WINAPI*)(int, UINT);
    static const auto function = User32Function<Function>("GetSystemMetricsForDpi");
    return function != nullptr ? function(index, dpi) : 0;
}

std::int64_t UnixTimeNow() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace platform
