#pragma once

#include <windows.h>

// Menu item identifiers; 0 is what TrackPopupMenu returns when nothing was chosen.
inline constexpr UINT kMenuOpen = 10;
inline constexpr UINT kMenuStop = 11;
inline constexpr UINT kMenuMute = 12;

// Shows the icon's popup menu at the cursor, waits for the choice and carries it out.
void ShowContextMenu(HWND window);
