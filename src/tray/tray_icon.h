#pragma once

// Adds the icon when the shell does not hold it yet, otherwise updates it; the tooltip shows the
// state file's title label and the label of the companion's status.
void RefreshTrayIcon();
