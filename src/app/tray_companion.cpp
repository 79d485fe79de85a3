#include "app/tray_companion.h"

#include "companion/app_status.h"
#include "platform/platform.h"
#include "tray/tray_record.h"

#include <windowsx.h>

#include <optional>
#include <utility>

namespace {

TrayCompanion* CompanionOf(HWND window) {
    return reinterpret_cast<TrayCompanion*>(platform::GetWindowLongPtrW(window, GWLP_USERDATA));
}

// With version 4 the shell passes in wParam where the menu belongs, in screen coordinates: the
// click for the mouse, the icon for the keyboard. Signed, as displays left of or above the main
// one have negative coordinates. 0 is no point: the very corner of the main display holds the
// taskbar's start button, never an icon.
std::optional<POINT> MenuAnchor(WPARAM wParam) {
    if (wParam == 0) {
        return std::nullopt;
    }
    const auto anchor = static_cast<LPARAM>(wParam);
    return POINT{GET_X_LPARAM(anchor), GET_Y_LPARAM(anchor)};
}

}  // namespace

TrayCompanion::TrayCompanion(StartupOptions options)
    : options_(std::move(options)),
      stateFile_(options_.statePath),
      seenFile_(options_.seenPath),
      icon_(stateFile_),
      launcher_(options_.pythonwPath, options_.launcherPath,
                [this] { return RunningCompanionProcessId(stateFile_); }),
      opener_(launcher_),
      balloons_(stateFile_, seenFile_, icon_, opener_),
      menu_(stateFile_, seenFile_, launcher_, icon_) {}

TrayCompanion::~TrayCompanion() {
    // The parts go after this; a message dispatched meanwhile (ending COM may dispatch some)
    // must find no object through the window.
    if (trayWindow_ != nullptr) {
        platform::SetWindowLongPtrW(trayWindow_, GWLP_USERDATA, 0);
    }
}

bool TrayCompanion::Start(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kTrayWindowClass;
    platform::RegisterClassW(&windowClass);

    // A top-level window, never a message-only one: only top-level windows receive the
    // TaskbarCreated broadcast that brings the icon back after the shell restarts. It is never
    // shown; its title is the mutex name, so that a tool can find the window of one tray among
    // several.
    trayWindow_ =
        platform::CreateWindowExW(0, kTrayWindowClass, options_.mutexName.c_str(), WS_OVERLAPPED, 0,
                                  0, 0, 0, nullptr, nullptr, instance, this);
    if (trayWindow_ == nullptr) {
        return false;
    }

    taskbarCreatedMessage_ = platform::RegisterWindowMessageW(L"TaskbarCreated");
    // Started by an elevated companion, the program runs elevated too, and the message filter
    // then drops the shell's broadcast from the unelevated taskbar: the icon would never come
    // back after the shell restarts.
    if (taskbarCreatedMessage_ != 0) {
        platform::ChangeWindowMessageFilterEx(trayWindow_, taskbarCreatedMessage_, MSGFLT_ALLOW,
                                              nullptr);
    }

    icon_.InitTrayRecord(trayWindow_, instance);
    icon_.RefreshTrayIcon();
    // Notices that are due show at once, not only after the first tick.
    balloons_.PollNotices();
    platform::SetTimer(trayWindow_, kRefreshTimerId, kRefreshPeriodMs, nullptr);
    return true;
}

void TrayCompanion::Tick() {
    icon_.RefreshTrayIcon();
    balloons_.CountBalloonTick();
    balloons_.PollNotices();
}

void TrayCompanion::OnTrayEvent(WORD event, WPARAM wParam) {
    switch (event) {
        case WM_CONTEXTMENU:
        case NIN_SELECT:
        case NIN_KEYSELECT:
            menu_.ShowContextMenu(trayWindow_, MenuAnchor(wParam));
            break;
        case NIN_BALLOONHIDE:
        case NIN_BALLOONTIMEOUT:
            balloons_.OnBalloonEnded();
            break;
        case NIN_BALLOONUSERCLICK:
            balloons_.OnBalloonClicked();
            break;
        default:
            break;
    }
}

bool TrayCompanion::IsTaskbarCreated(UINT message) const {
    return taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_;
}

void TrayCompanion::OnTaskbarCreated() {
    // The old taskbar took the icon and any balloon with it; queued notices wait for the next
    // tick.
    balloons_.OnTaskbarCreated();
    icon_.OnTaskbarCreated();
}

void TrayCompanion::OnDisplayChanged() {
    icon_.OnDisplayChanged();
}

void TrayCompanion::OnDestroy() {
    icon_.Remove();
    platform::PostQuitMessage(0);
}

void TrayCompanion::OnWindowGone() {
    trayWindow_ = nullptr;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        // The object that creates the window comes with its first message, before any event.
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        platform::SetWindowLongPtrW(window, GWLP_USERDATA,
                                    reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    TrayCompanion* companion = CompanionOf(window);
    if (companion == nullptr) {
        return platform::DefWindowProcW(window, message, wParam, lParam);
    }
    if (companion->IsTaskbarCreated(message)) {
        companion->OnTaskbarCreated();
        return 0;
    }
    switch (message) {
        case WM_TIMER:
            companion->Tick();
            return 0;
        case kTrayCallbackMessage:
            companion->OnTrayEvent(LOWORD(lParam), wParam);
            return 0;
        case WM_DPICHANGED:
        case WM_DISPLAYCHANGE:
            companion->OnDisplayChanged();
            return 0;
        case WM_SETTINGCHANGE:
            // The work area changes when the taskbar moves to another display.
            if (wParam == SPI_SETWORKAREA) {
                companion->OnDisplayChanged();
            }
            return platform::DefWindowProcW(window, message, wParam, lParam);
        case WM_DESTROY:
            companion->OnDestroy();
            return 0;
        case WM_NCDESTROY:
            platform::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            companion->OnWindowGone();
            return platform::DefWindowProcW(window, message, wParam, lParam);
        default:
            return platform::DefWindowProcW(window, message, wParam, lParam);
    }
}
