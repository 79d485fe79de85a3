#include "tray/context_menu.h"

#include "companion/app_status.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <windowsx.h>

#include <string>

namespace {

constexpr UINT kTrackFlags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;

POINT MenuPosition(std::optional<POINT> anchor) {
    if (anchor) {
        return *anchor;
    }
    POINT cursor{};
    if (platform::GetCursorPos(&cursor)) {
        return cursor;
    }
    // Without the cursor, open where the message that asked for the menu happened. The position
    // is signed: screens left of or above the main one have negative coordinates.
    const DWORD position = platform::GetMessagePos();
    return POINT{GET_X_LPARAM(position), GET_Y_LPARAM(position)};
}

// Escape in the thread's key state, which follows the key messages the thread reads. The menu's
// loop ends on Escape's key-down and leaves its key-up in the queue, so the state still has
// Escape down when TrackPopupMenu returns; a click elsewhere leaves it up. The key-up may also go
// to another thread's window and never reach this one (seen under Wine), leaving the state down
// for good: Escape therefore counts only when it went down while the menu was open.
bool EscapeDown() {
    return (platform::GetKeyState(VK_ESCAPE) & 0x8000) != 0;
}

}  // namespace

void ContextMenu::CarryOutMenuCommand(UINT command) {
    switch (command) {
        case kMenuOpen:
            launcher_.LaunchApp(L"");
            break;
        case kMenuStop:
            launcher_.LaunchApp(L"stop");
            break;
        case kMenuMute:
            // Read again: the preference may have changed while the menu was open.
            seenFile_.SetNudgesMuted(!seenFile_.IsNudgeMuted());
            break;
        default:
            break;
    }
}

void ContextMenu::ShowContextMenu(HWND window, std::optional<POINT> anchor) {
    if (menuTracking_) {
        return;
    }
    const AppStatus status = EvaluateAppStatus(stateFile_);
    platform::OwnedMenu menu(platform::CreatePopupMenu());
    if (!menu) {
        return;
    }

    const std::wstring statusLabel = stateFile_.ReadStateValue(StatusLabelKey(status));
    platform::AppendMenuW(menu.Get(), MF_GRAYED, 0, statusLabel.c_str());
    platform::AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);

    const std::wstring openLabel = stateFile_.ReadLabel(L"open");
    const std::wstring stopLabel = stateFile_.ReadLabel(L"stop");
    const std::wstring muteLabel = stateFile_.ReadLabel(L"mute");
    if (!openLabel.empty()) {
        platform::AppendMenuW(menu.Get(), MF_STRING, kMenuOpen, openLabel.c_str());
    }
    const std::wstring role = stateFile_.ReadStateValue(L"role");
    if (role == L"server" && !stopLabel.empty() && status != AppStatus::Stopped) {
        platform::AppendMenuW(menu.Get(), MF_STRING, kMenuStop, stopLabel.c_str());
    }
    if (!muteLabel.empty()) {
        const UINT checked = seenFile_.IsNudgeMuted() ? MF_CHECKED : MF_STRING;
        platform::AppendMenuW(menu.Get(), checked, kMenuMute, muteLabel.c_str());
    }

    const POINT position = MenuPosition(anchor);
    // Without the foreground switch the menu would not close when the user clicks elsewhere, and
    // the posted WM_NULL lets a second click on the icon open it again at once.
    platform::SetForegroundWindow(window);
    const bool rightToLeft = stateFile_.ReadStateValue(L"rtl") == L"1";
    const UINT flags = kTrackFlags | (rightToLeft ? TPM_LAYOUTRTL : 0u);
    // While the menu tracks, the window's messages still run: a tick, a balloon's end, another
    // request for the menu, which is ignored.
    const bool escapeDownBefore = EscapeDown();
    menuTracking_ = true;
    const auto command = static_cast<UINT>(
        platform::TrackPopupMenu(menu.Get(), flags, position.x, position.y, 0, window, nullptr));
    menuTracking_ = false;
    const bool leftWithEscape = command == 0 && !escapeDownBefore && EscapeDown();
    platform::PostMessageW(window, WM_NULL, 0, 0);
    // Gone before the command runs: a command may take long (a start) or open another menu.
    menu.Reset();

    if (leftWithEscape) {
        // A keyboard user is back where the menu was asked for; a click elsewhere leaves the
        // focus where the user clicked.
        icon_.ReturnFocus();
    }
    CarryOutMenuCommand(command);
}
