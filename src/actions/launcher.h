#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

// Starts the companion application: the windowless interpreter (--pythonw) in isolated mode on
// the launcher script (--launcher), optionally on one of the application's screens.
class AppLauncher {
  public:
    // The process that may take the foreground when the launcher starts: the running companion
    // application, to which the launcher hands the request; nothing when none runs.
    using ForegroundProcess = std::function<std::optional<DWORD>()>;

    AppLauncher(std::wstring pythonwPath, std::wstring launcherPath,
                ForegroundProcess foregroundProcess = {})
        : pythonwPath_(std::move(pythonwPath)),
          launcherPath_(std::move(launcherPath)),
          foregroundProcess_(std::move(foregroundProcess)) {}

    // The command line: "<pythonw>" -I "<launcher>" [--screen <screen>]. Nothing is escaped.
    std::wstring BuildLaunchCommandLine(const std::wstring& screen) const;

    // Starts the application on the user's behalf and keeps nothing of it; a failed start is
    // dropped. A running application is first allowed to bring its window to the front.
    void LaunchApp(const std::wstring& screen) const;

  private:
    std::wstring pythonwPath_;
    std::wstring launcherPath_;
    ForegroundProcess foregroundProcess_;
};
