#pragma once

#include <string>

// The five options the program is started with. Parsed once at start-up, before anything else
// runs, and read-only afterwards: the program's object holds them, and each part is given what
// it needs of them when it is made.
struct StartupOptions {
    std::wstring mutexName;     // --mutex
    std::wstring statePath;     // --state
    std::wstring seenPath;      // --seen
    std::wstring pythonwPath;   // --pythonw
    std::wstring launcherPath;  // --launcher
};
