#pragma once

#include "companion/state_file.h"
#include "platform/owned_handle.h"
#include "tray/tray_record.h"

#include <windows.h>
#include <shellapi.h>

#include <string_view>

// The icon in the notification area: the program's one notification-area record (trayRecord),
// whether the shell holds the icon (iconAdded), and the icon image the record names, loaded at
// the small-icon size of the display the taskbar is on. Everything the program asks of the shell
// goes through it: the icon with its tooltip, balloons, the focus, and the icon's removal.
class TrayIcon {
  public:
    explicit TrayIcon(const StateFile& stateFile) : stateFile_(stateFile) {}

    // Sets the fields that stay the same for the whole run and loads the icon image.
    void InitTrayRecord(HWND window, HINSTANCE instance);

    // Adds the icon when the shell does not hold it yet, otherwise updates it; the tooltip shows
    // the state file's title label and the label of the companion's status.
    void RefreshTrayIcon();

    // The taskbar was re-created: the old one took the icon with it, so it is added again, at the
    // size the new taskbar draws it.
    void OnTaskbarCreated();

    // The displays changed (their scale, their arrangement, the one the taskbar is on): when the
    // taskbar now draws its icons at another size, an image of that size replaces the old one.
    void OnDisplayChanged();

    // Removes the icon when the shell holds it; the window is going.
    void Remove();

    // Hands the keyboard focus back to the notification area, after a menu the user left with
    // Escape.
    void ReturnFocus();

    bool IsAdded() const { return iconAdded_; }

    // Asks the shell to show a balloon over the icon; true when the shell took it. The tooltip
    // goes with it, so that the icon keeps its standard tooltip. The shell answers through a
    // message sent across processes: while this waits, the shell's own sent messages run the
    // window procedure, so any part may be called from inside this call.
    bool ShowBalloon(std::wstring_view title, std::wstring_view text, DWORD infoFlags);

    const NOTIFYICONDATAW& Record() const { return trayRecord_; }

  private:
    void SwitchToVersion4();
    // Loads the image at the taskbar's size when it differs from the one held; true when a new
    // image went into the record. The old image is kept by the caller until the shell has the
    // new one.
    bool LoadImageForTaskbar(platform::OwnedIcon& replaced);

    const StateFile& stateFile_;
    HINSTANCE instance_ = nullptr;
    NOTIFYICONDATAW trayRecord_{};
    bool iconAdded_ = false;
    // The image that trayRecord names, and its size in pixels (0: none loaded yet).
    platform::OwnedIcon icon_;
    int iconSize_ = 0;
};

// The size in pixels of a small icon on the display the taskbar is on.
int TaskbarIconSize();
