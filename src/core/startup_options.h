#pragma once

#include <string>

// The five options the program is started with. Filled once at start-up, before anything else
// runs, and never changed afterwards; every subsystem reads them from here.
struct StartupOptions {
    std::wstring mutexName;     // --mutex
    std::wstring statePath;     // --state
    std::wstring seenPath;      // --seen
    std::wstring pythonwPath;   // --pythonw
    std::wstring launcherPath;  // --launcher
};

extern StartupOptions startupOptions;
