#include "tray/tray_icon.h"

#include "companion/app_status.h"
#include "platform/platform.h"

#include <string>

void TrayIcon::InitTrayRecord(HWND window, HINSTANCE instance) {
    trayRecord_.cbSize = sizeof(trayRecord_);
    trayRecord_.hWnd = window;
    trayRecord_.uID = kTrayIconId;
    trayRecord_.uCallbackMessage = kTrayCallbackMessage;
    // Loaded once at the small-icon size of this moment and kept for the whole run.
    trayRecord_.hIcon = static_cast<HICON>(platform::LoadImageW(
        instance, MAKEINTRESOURCEW(1), IMAGE_ICON, platform::GetSystemMetrics(SM_CXSMICON),
        platform::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
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
    RefreshTrayIcon();
}

void TrayIcon::Remove() {
    if (iconAdded_) {
        platform::Shell_NotifyIconW(NIM_DELETE, &trayRecord_);
        iconAdded_ = false;
    }
}

bool TrayIcon::ShowBalloon(std::wstring_view title, std::wstring_view text, DWORD infoFlags) {
    trayRecord_.uFlags = NIF_INFO;
    CopyToField(trayRecord_.szInfoTitle, title);
    CopyToField(trayRecord_.szInfo, text);
    trayRecord_.dwInfoFlags = infoFlags;
    return platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord_) != FALSE;
}
