// The platform of the simulated world: each function is answered by the module of the world in
// which the program runs that plays that part of Windows, or by the world itself where a call
// takes several of them or lets the program run again before it returns.
#include "platform/platform.h"
#include "world.h"

#include <algorithm>
#include <string_view>

namespace platform {

namespace {

sim::World& world() {
    return sim::World::Current();
}

}  // namespace

BOOL SetDefaultDllDirectories(DWORD) {
    return TRUE;
}

LPWSTR GetCommandLineW() {
    return world().TheProcess().CommandLine();
}
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc) {
    return ::CommandLineToArgvW(commandLine, argc);
}
HLOCAL LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
    return world().TheProcess().MakeMutex();
}
DWORD GetLastError() {
    return ERROR_SUCCESS;
}
BOOL CloseHandle(HANDLE handle) {
    return world().CloseHandle(handle);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    return world().TheWindow().RegisterWindowClass(windowClass);
}
HWND CreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                     LPVOID param) {
    return world().TheWindow().Create(param);
}
UINT RegisterWindowMessageW(LPCWSTR) {
    return sim::kTaskbarCreatedMessage;
}
LONG_PTR SetWindowLongPtrW(HWND, int, LONG_PTR value) {
    return world().TheWindow().SetUserData(value);
}
LONG_PTR GetWindowLongPtrW(HWND, int) {
    return world().TheWindow().UserData();
}
BOOL ChangeWindowMessageFilterEx(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT) {
    return TRUE;
}
UINT_PTR SetTimer(HWND, UINT_PTR id, UINT, TIMERPROC) {
    return id;
}
LRESULT DefWindowProcW(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_NCCREATE ? TRUE : 0;
}
void PostQuitMessage(int) {
    world().TheWindow().PostQuit();
}
BOOL GetMessageW(LPMSG msg, HWND, UINT, UINT) {
    return world().NextStep(msg);
}
BOOL TranslateMessage(const MSG*) {
    return FALSE;
}
LRESULT DispatchMessageW(const MSG* msg) {
    return world().Dispatch(msg);
}
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    world().TheWindow().Post(msg);
    return TRUE;
}

HANDLE LoadImageW(HINSTANCE, LPCWSTR, UINT, int cx, int cy, UINT) {
    return world().TheDisplay().LoadImage(cx, cy);
}
BOOL DestroyIcon(HICON icon) {
    return world().TheDisplay().DestroyImage(icon);
}
int GetSystemMetrics(int index) {
    return world().TheDisplay().SystemMetrics(index);
}
HWND FindWindowW(LPCWSTR className, LPCWSTR) {
    return className != nullptr && std::wstring_view(className) == L"Shell_TrayWnd"
               ? world().TheDisplay().FindTaskbar()
               : nullptr;
}
UINT GetDpiForWindow(HWND window) {
    return world().TheDisplay().DpiForWindow(window);
}
int GetSystemMetricsForDpi(int index, UINT dpi) {
    return world().TheDisplay().MetricsForDpi(index, dpi);
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    return world().NotifyIcon(message, data);
}
HRESULT SHQueryUserNotificationState(QUERY_USER_NOTIFICATION_STATE* state) {
    return world().TheUser().NotificationState(state);
}

HMENU CreatePopupMenu() {
    return world().TheUser().MakeMenu();
}
BOOL AppendMenuW(HMENU, UINT flags, UINT_PTR id, LPCWSTR) {
    world().TheUser().AddMenuItem(flags, id);
    return TRUE;
}
BOOL GetCursorPos(LPPOINT point) {
    *point = world().TheUser().Cursor();
    return TRUE;
}
DWORD GetMessagePos() {
    return 0;
}
BOOL SetForegroundWindow(HWND) {
    return TRUE;
}
SHORT GetKeyState(int virtualKey) {
    return world().TheUser().KeyState(virtualKey);
}
BOOL TrackPopupMenu(HMENU, UINT, int x, int y, int, HWND, const RECT*) {
    return world().TrackMenu(x, y);
}
BOOL DestroyMenu(HMENU menu) {
    return world().CloseHandle(menu);
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    return world().ReadProfile(section, key, defaultValue, buffer, size, path);
}
BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    return world().TheFiles().WriteProfile(section, key, value, path);
}
DWORD GetFileAttributesW(LPCWSTR path) {
    return world().TheFiles().Attributes(path);
}
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS, LPVOID information) {
    return world().TheFiles().AttributesEx(path, information);
}
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    return world().TheFiles().Size(file, size);
}
// The world's paths are full already.
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR*) {
    const std::wstring_view text = path;
    if (text.size() >= size) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
}
int SHCreateDirectoryExW(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*) {
    return ERROR_ALREADY_EXISTS;
}
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
    return world().TheFiles().Open(path, access, disposition);
}
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
    return world().TheFiles().Write(file, buffer, size, written);
}

HRESULT CoInitializeEx(LPVOID, DWORD) {
    return world().TheProcess().StartCom();
}
void CoUninitialize() {
    world().TheProcess().EndCom();
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    return world().TheCompanion().OpenProcess(processId);
}
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return world().TheCompanion().ExitCode(process, exitCode);
}
BOOL AllowSetForegroundWindow(DWORD processId) {
    return world().AllowForeground(processId);
}
BOOL CreateProcessW(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION processInfo) {
    return world().StartProcess(commandLine, processInfo);
}
HINSTANCE ShellExecuteW(HWND, LPCWSTR, LPCWSTR file, LPCWSTR, LPCWSTR, INT) {
    world().HandToShell(file);
    return reinterpret_cast<HINSTANCE>(42);
}

void GetLocalTime(LPSYSTEMTIME time) {
    world().TheClock().LocalTime(time);
}
std::int64_t UnixTimeNow() {
    return world().TheClock().Now();
}

}  // namespace platform
