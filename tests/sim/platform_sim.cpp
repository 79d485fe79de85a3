// The platform of the simulated world: each function asks the world in which the program runs.
#include "platform/platform.h"
#include "world.h"

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
    return world().CommandLine();
}
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc) {
    return ::CommandLineToArgvW(commandLine, argc);
}
HLOCAL LocalFree(HLOCAL memory) {
    return ::LocalFree(memory);
}
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
    return world().OpenHandle("the mutex");
}
DWORD GetLastError() {
    return ERROR_SUCCESS;
}
BOOL CloseHandle(HANDLE handle) {
    return world().CloseOpenHandle(handle) ? TRUE : FALSE;
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    return world().TakeWindowClass(windowClass);
}
HWND CreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                     LPVOID param) {
    return world().MakeWindow(param);
}
UINT RegisterWindowMessageW(LPCWSTR) {
    return 0xC0DE;
}
LONG_PTR SetWindowLongPtrW(HWND window, int, LONG_PTR value) {
    return world().SetUserData(window, value);
}
LONG_PTR GetWindowLongPtrW(HWND window, int) {
    return world().UserData(window);
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
    world().PostQuit();
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
    world().Post(window, message, wParam, lParam);
    return TRUE;
}

HANDLE LoadImageW(HINSTANCE, LPCWSTR, UINT, int, int, UINT) {
    return reinterpret_cast<HANDLE>(0x7E000600);
}
int GetSystemMetrics(int) {
    return 16;
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    return world().NotifyIcon(message, data);
}

HMENU CreatePopupMenu() {
    return world().MakeMenu();
}
BOOL AppendMenuW(HMENU, UINT flags, UINT_PTR id, LPCWSTR text) {
    world().AddMenuItem(flags, id, text);
    return TRUE;
}
BOOL GetCursorPos(LPPOINT point) {
    *point = POINT{1000, 750};
    return TRUE;
}
DWORD GetMessagePos() {
    return 0;
}
BOOL SetForegroundWindow(HWND) {
    return TRUE;
}
BOOL TrackPopupMenu(HMENU, UINT, int, int, int, HWND, const RECT*) {
    return world().TrackMenu();
}
BOOL DestroyMenu(HMENU menu) {
    return world().EndMenu(menu);
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    return world().ReadProfile(section, key, defaultValue, buffer, size, path);
}
BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    return world().WriteProfile(section, key, value, path);
}
DWORD GetFileAttributesW(LPCWSTR path) {
    return world().FileAttributes(path);
}
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS, LPVOID information) {
    return world().FileAttributesEx(path, information);
}
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    return world().FileSize(file, size);
}
int SHCreateDirectoryExW(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*) {
    return ERROR_ALREADY_EXISTS;
}
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE) {
    return world().OpenFileOf(path, access, shareMode, disposition);
}
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED) {
    return world().WriteToFile(file, buffer, size, written);
}

HRESULT CoInitializeEx(LPVOID, DWORD) {
    return world().StartCom();
}
void CoUninitialize() {
    world().EndCom();
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    return world().OpenCompanionProcess(processId);
}
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return world().ExitCode(process, exitCode);
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
    world().LocalTime(time);
}
std::int64_t UnixTimeNow() {
    return world().UnixNow();
}

}  // namespace platform
