#pragma once

#include <windows.h>

inline constexpr wchar_t kTrayWindowClass[] = L"VestrelTrayWindow";
inline constexpr UINT_PTR RefreshTimerId = 1;
inline constexpr UINT kRefreshPeriodMs = 10000;

// The hidden window that owns the icon, and the shell's "taskbar re-created" message (0 when it
// could not be registered).
extern HWND trayWindow;
extern UINT TaskbarCreatedMessage;

// Registers the window class and creates the hidden top-level window; false when no window came.
bool CreateTrayWindow(HINSTANCE instance);
void RegisterTaskbarCreatedMessage();
void StartRefreshTimer();

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
