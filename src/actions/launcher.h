#pragma once

#include <string>
#include <utility>

// Starts the companion application: the windowless interpreter (--pythonw) in isolated mode on
// the launcher script (--launcher), optionally on one of the application's screens.
class AppLauncher {
  public:
    AppLauncher(std::wstring pythonwPath, std::wstring launcherPath)
        : pythonwPath_(std::move(pythonwPath)), launcherPath_(std::move(launcherPath)) {}

    // The command line: "<pythonw>" -I "<launcher>" [--screen <screen>]. Nothing is escaped.
    std::wstring BuildLaunchCommandLine(const std::wstring& screen) const;

    // Starts the application and keeps nothing of it; a failed start is dropped.
    void LaunchApp(const std::wstring& screen) const;

  private:
    std::wstring pythonwPath_;
    std::wstring launcherPath_;
};
