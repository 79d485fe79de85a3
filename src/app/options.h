#pragma once

#include <string>

// The five options the program is started with, kept exactly as passed.
struct StartupOptions {
    std::wstring mutexName;     // --mutex
    std::wstring statePath;     // --state
    std::wstring seenPath;      // --seen
    std::wstring pythonwPath;   // --pythonw
    std::wstring launcherPath;  // --launcher
};

extern StartupOptions startupOptions;

// Fills startupOptions from the process's command line; true when all five are non-empty.
bool ParseOptions();
