#include "tray/context_menu.h"

#include "companion/app_status.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <windowsx.h>

#include <string>

namespace {

constexpr UINT kTrackFlags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;

POINT MenuPosition() {
    POINT cursor{};
    if (platform::GetCursorPos(&cursor)) {
        return cursor;
    }
    // Without the cursor, open where the message that asked for the menu happened. The position
    // is signed: screens left of or above the main one have negative coordinates.
    const DWORD position = platform::GetMessagePos();
    return POINT{GET_X_LPARAM(position), GET_Y_LPARAM(position)};
}

void CarryOutMenuCommand(UINT command, SeenFile& seenFile, const AppLauncher& launcher) {
    switch (command) {
        case kMenuOpen:
            launcher.LaunchApp(L"");
            break;
        case kMenuStop:
            launcher.LaunchApp(L"stop");
            break;
        case kMenuMute:
            // Read again: the preference may have changed while the menu was open.
            seenFile.SetNudgesMuted(!seenFile.IsNudgeMuted());
            break;
        default:
            break;
    }
}

}  // namespace

void ShowContextMenu(HWND window, const StateFile& stateFile, SeenFile& seenFile,
                     const AppLauncher& launcher) {
    const AppStatus status = EvaluateAppStatus(stateFile);
    platform::OwnedMenu menu(platform::CreatePopupMenu());
    if (!menu) {
        return;
    }

    const std::wstring statusLabel = stateFile.ReadStateValue(StatusLabelKey(status));
    platform::AppendMenuW(menu.Get(), MF_GRAYED, 0, statusLabel.c_str());
    platform::AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);

    const std::wstring openLabel = stateFile.ReadLabel(L"open");
    const std::wstring stopLabel = stateFile.ReadLabel(L"stop");
    const std::wstring muteLabel = stateFile.ReadLabel(L"mute");
    if (!openLabel.empty()) {
        platform::AppendMenuW(menu.Get(), MF_STRING, kMenuOpen, openLabel.c_str());
    }
    const std::wstring role = stateFile.ReadStateValue(L"role");
    if (role == L"server" && !stopLabel.empty() && status != AppStatus::Stopped) {
        platform::AppendMenuW(menu.Get(), MF_STRING, kMenuStop, stopLabel.c_str());
    }
    if (!muteLabel.empty()) {
        const UINT checked = seenFile.IsNudgeMuted() ? MF_CHECKED : MF_STRING;
        platform::AppendMenuW(menu.Get(), checked, kMenuMute, muteLabel.c_str());
    }

    const POINT position = MenuPosition();
    // Without the foreground switch the menu would not close when the user clicks elsewhere, and
    // the posted WM_NULL lets a second click on the icon open it again at once.
    platform::SetForegroundWindow(window);
    const bool rightToLeft = stateFile.ReadStateValue(L"rtl") == L"1";
    const UINT flags = kTrackFlags | (rightToLeft ? TPM_LAYOUTRTL : 0u);
    const auto command = static_cast<UINT>(
        platform::TrackPopupMenu(menu.Get(), flags, position.x, position.y, 0, window, nullptr));
    platform::PostMessageW(window, WM_NULL, 0, 0);
    // Gone before the command runs: a command may take long (a start) or open another menu.
    menu.Reset();

    CarryOutMenuCommand(command, seenFile, launcher);
}
