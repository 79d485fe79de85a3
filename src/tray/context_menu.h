#pragma once

#include "actions/launcher.h"
#include "companion/state_file.h"
#include "memory/seen_file.h"
#include "tray/tray_icon.h"

#include <windows.h>

#include <optional>

// Menu item identifiers; 0 is what TrackPopupMenu returns when nothing was chosen.
inline constexpr UINT kMenuOpen = 10;
inline constexpr UINT kMenuStop = 11;
inline constexpr UINT kMenuMute = 12;

// The icon's popup menu: built afresh each time from the state file's labels, shown where the
// user asked for it, its choice carried out (open and stop start the companion application, mute
// toggles the preference in the seen file). One menu at a time.
class ContextMenu {
  public:
    ContextMenu(const StateFile& stateFile, SeenFile& seenFile, const AppLauncher& launcher,
                TrayIcon& icon)
        : stateFile_(stateFile), seenFile_(seenFile), launcher_(launcher), icon_(icon) {}

    // Shows the menu at the anchor, the point the shell passed with the request (the click for
    // the mouse, the icon for the keyboard), or at the cursor where none came; waits for the
    // choice and carries it out. A request that comes while a menu is open is ignored: some
    // shells report Enter twice, the second time while the first menu tracks. A menu left with
    // Escape hands the keyboard focus back to the notification area.
    void ShowContextMenu(HWND window, std::optional<POINT> anchor);

    bool IsTracking() const { return menuTracking_; }

  private:
    void CarryOutMenuCommand(UINT command);

    const StateFile& stateFile_;
    SeenFile& seenFile_;
    const AppLauncher& launcher_;
    TrayIcon& icon_;
    // A menu is open: TrackPopupMenu has not returned yet.
    bool menuTracking_ = false;
};
