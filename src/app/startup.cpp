#include "app/startup.h"

#include "app/options.h"
#include "app/tray_companion.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <optional>
#include <utility>

namespace {

void RunMessageLoop() {
    MSG message{};
    // GetMessageW gives -1 on an error; that ends the loop as WM_QUIT does.
    while (platform::GetMessageW(&message, nullptr, 0, 0) > 0) {
        platform::TranslateMessage(&message);
        platform::DispatchMessageW(&message);
    }
}

}  // namespace

int RunTrayCompanion(HINSTANCE instance) {
    // Libraries that the system loads on the program's behalf later (the shell's helpers) come
    // from the system folder only, never from the folder the program was started from, such as
    // a downloads folder holding a planted DLL.
    platform::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    std::optional<StartupOptions> options = ParseOptions();
    if (!options) {
        return kExitOptionsMissing;
    }

    // Held until the program's object has gone after the message loop; released on every way
    // out.
    const platform::OwnedHandle instanceMutex(
        platform::CreateMutexW(nullptr, TRUE, options->mutexName.c_str()));
    if (!instanceMutex) {
        return kExitAnotherInstance;
    }
    if (platform::GetLastError() == ERROR_ALREADY_EXISTS) {
        return kExitAnotherInstance;
    }

    TrayCompanion companion(std::move(*options));
    if (!companion.Start(instance)) {
        return kExitNoWindow;
    }
    RunMessageLoop();
    return kExitNormal;
}
