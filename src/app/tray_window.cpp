#include "app/tray_window.h"

#include "actions/notice_target.h"
#include "core/startup_options.h"
#include "notices/balloon.h"
#include "notices/notice.h"
#include "notices/notice_queue.h"
#include "platform/platform.h"
#include "tray/context_menu.h"
#include "tray/tray_icon.h"
#include "tray/tray_record.h"

HWND trayWindow = nullptr;
UINT TaskbarCreatedMessage = 0;

namespace {

void HandleTrayEvent(HWND window, WORD event) {
    switch (event) {
        case WM_CONTEXTMENU:
        case NIN_SELECT:
        case NIN_KEYSELECT:
            ShowContextMenu(window);
            break;
        case NIN_BALLOONHIDE:
        case NIN_BALLOONTIMEOUT:
            EndBalloon();
            ShowNextNotice();
            break;
        case NIN_BALLOONUSERCLICK:
            EndBalloon();
            OpenNoticeTarget(currentNotice.target);
            ShowNextNotice();
            break;
        default:
            break;
    }
}

}  // namespace

bool CreateTrayWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kTrayWindowClass;
    platform::RegisterClassW(&windowClass);

    // A top-level window, never a message-only one: only top-level windows receive the
    // TaskbarCreated broadcast that brings the icon back after the shell restarts. Its title,
    // never shown, is the mutex name, so that the application can find its own tray's window.
    trayWindow =
        platform::CreateWindowExW(0, kTrayWindowClass, startupOptions.mutexName.c_str(),
                                  WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    return trayWindow != nullptr;
}

void RegisterTaskbarCreatedMessage() {
    TaskbarCreatedMessage = platform::RegisterWindowMessageW(L"TaskbarCreated");
    // Started by an elevated companion, the program runs elevated too, and the message filter
    // then drops the shell's broadcast from the unelevated taskbar: the icon would never come
    // back after the shell restarts.
    if (TaskbarCreatedMessage != 0) {
        platform::ChangeWindowMessageFilterEx(trayWindow, TaskbarCreatedMessage, MSGFLT_ALLOW,
                                              nullptr);
    }
}

void StartRefreshTimer() {
    platform::SetTimer(trayWindow, RefreshTimerId, kRefreshPeriodMs, nullptr);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (TaskbarCreatedMessage != 0 && message == TaskbarCreatedMessage) {
        // The old taskbar took the icon and any balloon with it; queued notices wait for the
        // next tick.
        iconAdded = false;
        EndBalloon();
        RefreshTrayIcon();
        return 0;
    }
    switch (message) {
        case WM_DESTROY:
            if (iconAdded) {
                platform::Shell_NotifyIconW(NIM_DELETE, &trayRecord);
            }
            platform::PostQuitMessage(0);
            return 0;
        case WM_TIMER:
            RefreshTrayIcon();
            CountBalloonTick();
            PollNotices();
            return 0;
        case TrayCallbackMessage:
            HandleTrayEvent(window, LOWORD(lParam));
            return 0;
        default:
            return platform::DefWindowProcW(window, message, wParam, lParam);
    }
}
