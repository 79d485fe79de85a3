#pragma once

#include "companion/state_file.h"
#include "tray/tray_record.h"

#include <windows.h>
#include <shellapi.h>

#include <string_view>

// The icon in the notification area: the program's one notification-area record (trayRecord)
// and whether the shell holds the icon (iconAdded). Everything the program asks of the shell goes
// through it: the icon with its tooltip, balloons, and the icon's removal.
class TrayIcon {
  public:
    explicit TrayIcon(const StateFile& stateFile) : stateFile_(stateFile) {}

    // Sets the fields that stay the same for the whole run and loads the small icon once.
    void InitTrayRecord(HWND window, HINSTANCE instance);

    // Adds the icon when the shell does not hold it yet, otherwise updates it; the tooltip shows
    // the state file's title label and the label of the companion's status.
    void RefreshTrayIcon();

    // The taskbar was re-created: the old one took the icon with it, so it is added again.
    void OnTaskbarCreated();

    // Removes the icon when the shell holds it; the window is going.
    void Remove();

    bool IsAdded() const { return iconAdded_; }

    // Asks the shell to show a balloon over the icon; true when the shell took it. The shell
    // answers through a message sent across processes: while this waits, the shell's own sent
    // messages run the window procedure, so any part may be called from inside this call.
    bool ShowBalloon(std::wstring_view title, std::wstring_view text, DWORD infoFlags);

    const NOTIFYICONDATAW& Record() const { return trayRecord_; }

  private:
    void SwitchToVersion4();

    const StateFile& stateFile_;
    NOTIFYICONDATAW trayRecord_{};
    bool iconAdded_ = false;
};
