#pragma once

#include <windows.h>

// Exit codes, the program's only report.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitAnotherInstance = 0;
inline constexpr int kExitOptionsMissing = 2;
inline constexpr int kExitNoWindow = 3;

// Runs the whole program: options, single instance, window, icon, first poll, timer and the
// message loop. Returns the process exit code.
int RunTrayCompanion(HINSTANCE instance);
