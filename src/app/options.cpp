#include "app/options.h"

#include "platform/platform.h"

#include <string_view>

namespace {

// The file functions look for a bare file name in the current folder, the profile functions in
// the Windows folder: reads and writes of "seen.ini" would go to different files, or be refused.
// A name without any folder therefore means the current folder for both. Paths with a folder
// (a separator or a drive) are used exactly as given.
void PlaceInCurrentFolder(std::wstring& path) {
    if (!path.empty() && path.find_first_of(L"\\/:") == std::wstring::npos) {
        path.insert(0, L".\\");
    }
}

}  // namespace

std::optional<StartupOptions> ParseOptions() {
    int argc = 0;
    LPWSTR* argv = platform::CommandLineToArgvW(platform::GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return std::nullopt;
    }

    struct Option {
        std::wstring_view name;
        std::wstring StartupOptions::*field;
    };
    static constexpr Option kOptions[] = {
        {L"--mutex", &StartupOptions::mutexName},
        {L"--state", &StartupOptions::statePath},
        {L"--seen", &StartupOptions::seenPath},
        {L"--pythonw", &StartupOptions::pythonwPath},
        {L"--launcher", &StartupOptions::launcherPath},
    };

    StartupOptions options;
    // Options come in pairs by position; argument 0 is the program itself, and a value is taken
    // as it stands even when it looks like an option, so "--mutex --state" names the mutex.
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring_view name = argv[i];
        for (const Option& option : kOptions) {
            if (name == option.name) {
                options.*option.field = argv[i + 1];
                break;
            }
        }
    }
    platform::LocalFree(argv);
    PlaceInCurrentFolder(options.statePath);
    PlaceInCurrentFolder(options.seenPath);

    if (options.mutexName.empty() || options.statePath.empty() || options.seenPath.empty() ||
        options.pythonwPath.empty() || options.launcherPath.empty()) {
        return std::nullopt;
    }
    return options;
}
