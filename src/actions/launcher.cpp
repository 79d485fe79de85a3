#include "actions/launcher.h"

#include "app/options.h"
#include "platform/platform.h"

#include <vector>

std::wstring BuildLaunchCommandLine(const std::wstring& screen) {
    std::wstring commandLine = L"\"";
    commandLine += startupOptions.pythonwPath;
    commandLine += L"\" -I \"";
    commandLine += startupOptions.launcherPath;
    commandLine += L"\"";
    if (!screen.empty()) {
        commandLine += L" --screen ";
        commandLine += screen;
    }
    return commandLine;
}

void LaunchApp(const std::wstring& screen) {
    const std::wstring commandLine = BuildLaunchCommandLine(screen);
    // CreateProcessW may write into the command line it is given.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!platform::CreateProcessW(startupOptions.pythonwPath.c_str(), writable.data(), nullptr,
                                  nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                                  &process)) {
        return;
    }
    platform::CloseHandle(process.hThread);
    platform::CloseHandle(process.hProcess);
}
