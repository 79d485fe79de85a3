#pragma once

#include "actions/launcher.h"
#include "companion/state_file.h"
#include "memory/seen_file.h"

#include <windows.h>

// Menu item identifiers; 0 is what TrackPopupMenu returns when nothing was chosen.
inline constexpr UINT kMenuOpen = 10;
inline constexpr UINT kMenuStop = 11;
inline constexpr UINT kMenuMute = 12;

// Shows the icon's popup menu at the cursor, waits for the choice and carries it out: open and
// stop start the companion application, mute toggles the preference in the seen file.
void ShowContextMenu(HWND window, const StateFile& stateFile, SeenFile& seenFile,
                     const AppLauncher& launcher);
