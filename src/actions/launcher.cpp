#include "actions/launcher.h"

#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <vector>

std::wstring AppLauncher::BuildLaunchCommandLine(const std::wstring& screen) const {
    std::wstring commandLine = L"\"";
    commandLine += pythonwPath_;
    commandLine += L"\" -I \"";
    commandLine += launcherPath_;
    commandLine += L"\"";
    if (!screen.empty()) {
        commandLine += L" --screen ";
        commandLine += screen;
    }
    return commandLine;
}

void AppLauncher::LaunchApp(const std::wstring& screen) const {
    // Every start follows the user's action (a menu command, a click on a balloon), and right
    // after it this program may pass the foreground on. The launcher hands the request to the
    // running application, which may bring its window forward only if allowed; without it, its
    // taskbar button merely flashes. Only that one process, never any process.
    if (foregroundProcess_) {
        if (const std::optional<DWORD> running = foregroundProcess_()) {
            platform::AllowSetForegroundWindow(*running);
        }
    }
    const std::wstring commandLine = BuildLaunchCommandLine(screen);
    // CreateProcessW may write into the command line it is given.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!platform::CreateProcessW(pythonwPath_.c_str(), writable.data(), nullptr, nullptr, FALSE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        return;
    }
    // Nothing of the started process is kept: the thread handle is closed first, then the process
    // handle (owners are released in the reverse order of their declaration).
    const platform::OwnedHandle processHandle(process.hProcess);
    const platform::OwnedHandle threadHandle(process.hThread);
}
