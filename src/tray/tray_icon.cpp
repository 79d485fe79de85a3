#include "tray/tray_icon.h"

#include "companion/app_status.h"
#include "companion/state_file.h"
#include "platform/platform.h"
#include "tray/tray_record.h"

#include <string>

namespace {

// The shell reports version-4 events only after it has been asked to, after every add.
void SwitchToVersion4() {
    trayRecord.uVersion = NOTIFYICON_VERSION_4;
    platform::Shell_NotifyIconW(NIM_SETVERSION, &trayRecord);
}

}  // namespace

void RefreshTrayIcon() {
    const AppStatus status = EvaluateAppStatus();
    std::wstring tip = ReadLabel(L"title");
    const std::wstring statusLabel = ReadLabel(status);
    if (!statusLabel.empty()) {
        if (!tip.empty()) {
            tip += L'\n';
        }
        tip += statusLabel;
    }

    trayRecord.uFlags = kTrayIconFlags;
    CopyToField(trayRecord.szTip, tip);

    if (iconAdded) {
        platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord);
        return;
    }
    iconAdded = platform::Shell_NotifyIconW(NIM_ADD, &trayRecord) != FALSE;
    if (!iconAdded) {
        // The shell also announces TaskbarCreated when it keeps its icons (a change of display
        // scaling, a remote session); the add then fails because the icon is still there.
        iconAdded = platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord) != FALSE;
        if (!iconAdded) {
            return;
        }
    }
    SwitchToVersion4();
}
