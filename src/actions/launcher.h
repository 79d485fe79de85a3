#pragma once

#include <string>

// The command line that starts the companion application, optionally on a screen:
// "<pythonw>" -I "<launcher>" [--screen <screen>]. Nothing is escaped.
std::wstring BuildLaunchCommandLine(const std::wstring& screen);

// Starts the companion application through the windowless interpreter; a failed start is dropped.
void LaunchApp(const std::wstring& screen);
