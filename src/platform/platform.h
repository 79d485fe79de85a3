// Every Windows call the program's logic makes goes through these functions. The program links
// platform_win.cpp, which forwards each one to the Windows API unchanged; the logic tests link
// platform_fake.cpp in its place, which records the calls and returns scripted results.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>

namespace platform {

// Loading
BOOL SetDefaultDllDirectories(DWORD flags);

// Command line and single instance
LPWSTR GetCommandLineW();
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc);
HLOCAL LocalFree(HLOCAL memory);
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
DWORD GetLastError();
BOOL CloseHandle(HANDLE handle);

// Windows, messages and the timer
ATOM RegisterClassW(const WNDCLASSW* windowClass);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
UINT RegisterWindowMessageW(LPCWSTR name);
// The window's user data: where the window procedure finds the object that owns the window.
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrW(HWND window, int index);
BOOL ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action,
                                 PCHANGEFILTERSTRUCT changeFilterStruct);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The icon, at the size of the display the taskbar is on. GetDpiForWindow and
// GetSystemMetricsForDpi come with Windows 10 1607; before it they answer 0, and the program takes
// the system's small-icon size.
HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);
BOOL DestroyIcon(HICON icon);
int GetSystemMetrics(int index);
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
UINT GetDpiForWindow(HWND window);
int GetSystemMetricsForDpi(int index, UINT dpi);

// The notification area, and whether the user can see a notification now
BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data);
HRESULT SHQueryUserNotificationState(QUERY_USER_NOTIFICATION_STATE* state);

// Menus and input
HMENU CreatePopupMenu();
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text);
BOOL GetCursorPos(LPPOINT point);
DWORD GetMessagePos();
BOOL SetForegroundWindow(HWND window);
SHORT GetKeyState(int virtualKey);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window,
                    const RECT* rect);
BOOL DestroyMenu(HMENU menu);

// Profile files, files and folders
DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path);
BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID information);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes);
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);

// COM, which the shell's hand-off of an address may need on this thread
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();

// Processes and the shell
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL AllowSetForegroundWindow(DWORD processId);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInfo);
HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT showCommand);

// Clocks
void GetLocalTime(LPSYSTEMTIME time);
// Whole seconds since 1970-01-01 00:00:00 UTC, as the C runtime's time() gives them.
std::int64_t UnixTimeNow();

}  // namespace platform
