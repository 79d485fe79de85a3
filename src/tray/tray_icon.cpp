#include "tray/tray_icon.h"

#include "companion/app_status.h"
#include "platform/platform.h"

#include <string>
#include <utility>

namespace {

// The program's icon group in its resources.
constexpr WORD kIconResourceId = 1;

}  // namespace

int TaskbarIconSize() {
    // The taskbar draws its icons at the small-icon size of its own display, which need not be
    // the one whose scale the program's own metrics follow (the display the user signed in on).
    const HWND taskbar = platform::FindWindowW(L"Shell_TrayWnd", nullptr);
    const UINT dpi = taskbar != nullptr ? platform::GetDpiForWindow(taskbar) : 0;
    const int size = dpi != 0 ? platform::GetSystemMetricsForDpi(SM_CXSMICON, dpi) : 0;
    return size > 0 ? size : platform::GetSystemMetrics(SM_CXSMICON);
}

void TrayIcon::InitTrayRecord(HWND window, HINSTANCE instance) {
    instance_ = instance;
    trayRecord_.cbSize = sizeof(trayRecord_);
    trayRecord_.hWnd = window;
    trayRecord_.uID = kTrayIconId;
    trayRecord_.uCallbackMessage = kTrayCallbackMessage;
    platform::OwnedIcon none;
    LoadImageForTaskbar(none);
}

bool TrayIcon::LoadImageForTaskbar(platform::OwnedIcon& replaced) {
    const int size = TaskbarIconSize();
    if (icon_ && size == iconSize_) {
        return false;
    }
    // The group holds an image of every small-icon size from 100 % to 250 % display scale, so
    // the image comes out sharp, not scaled from a neighbour.
    platform::OwnedIcon loaded(static_cast<HICON>(platform::LoadImageW(
        instance_, MAKEINTRESOURCEW(kIconResourceId), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    if (!loaded) {
        // The image held stays; the next change of the displays tries again.
        return false;
    }
    replaced = std::exchange(icon_, std::move(loaded));
    iconSize_ = size;
    trayRecord_.hIcon = icon_.Get();
    return true;
}

// The shell reports version-4 events only after it has been asked to, after every add.
void TrayIcon::SwitchToVersion4() {
    trayRecord_.uVersion = NOTIFYICON_VERSION_4;
    platform::Shell_NotifyIconW(NIM_SETVERSION, &trayRecord_);
}

void TrayIcon::RefreshTrayIcon() {
    const AppStatus status = EvaluateAppStatus(stateFile_);
    std::wstring tip = stateFile_.ReadLabel(L"title");
    const std::wstring statusLabel = stateFile_.ReadStateValue(StatusLabelKey(status));
    if (!statusLabel.empty()) {
        if (!tip.empty()) {
            tip += L'\n';
        }
        tip += statusLabel;
    }

    trayRecord_.uFlags = kTrayIconFlags;
    CopyToField(trayRecord_.szTip, tip);

    if (iconAdded_) {
        platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord_);
        return;
    }
    iconAdded_ = platform::Shell_NotifyIconW(NIM_ADD, &trayRecord_) != FALSE;
    if (!iconAdded_) {
        // The shell also announces TaskbarCreated when it keeps its icons (a change of display
        // scaling, a remote session); the add then fails because the icon is still there.
        iconAdded_ = platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord_) != FALSE;
        if (!iconAdded_) {
            return;
        }
    }
    SwitchToVersion4();
}

void TrayIcon::OnTaskbarCreated() {
    iconAdded_ = false;
    // A change of scale or of the main display re-creates the taskbar: the icon goes to the new
    // one at the size it draws. The old image goes once the request has been made; the shell
    // keeps a copy of its own of whatever image it holds.
    platform::OwnedIcon replaced;
    LoadImageForTaskbar(replaced);
    RefreshTrayIcon();
}

void TrayIcon::OnDisplayChanged() {
    platform::OwnedIcon replaced;
    if (LoadImageForTaskbar(replaced)) {
        // An update with NIF_ICON hands the shell the new image.
        RefreshTrayIcon();
    }
}

void TrayIcon::Remove() {
    if (iconAdded_) {
        platform::Shell_NotifyIconW(NIM_DELETE, &trayRecord_);
        iconAdded_ = false;
    }
}

void TrayIcon::ReturnFocus() {
    if (iconAdded_) {
        platform::Shell_NotifyIconW(NIM_SETFOCUS, &trayRecord_);
    }
}

bool TrayIcon::ShowBalloon(std::wstring_view title, std::wstring_view text, DWORD infoFlags) {
    // The tooltip of the last refresh goes with the balloon: with version 4, an update without
    // NIF_SHOWTIP leaves the icon without its standard tooltip until the next refresh.
    trayRecord_.uFlags = kBalloonFlags;
    CopyToField(trayRecord_.szInfoTitle, title);
    CopyToField(trayRecord_.szInfo, text);
    trayRecord_.dwInfoFlags = infoFlags;
    return platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord_) != FALSE;
}
