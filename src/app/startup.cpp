#include "app/startup.h"

#include "actions/notice_target.h"
#include "app/options.h"
#include "app/tray_window.h"
#include "core/startup_options.h"
#include "notices/notice_queue.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"
#include "tray/tray_icon.h"
#include "tray/tray_record.h"

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

    if (!ParseOptions()) {
        return kExitOptionsMissing;
    }

    // Held until the message loop has ended; released on every way out.
    const platform::OwnedHandle instanceMutex(
        platform::CreateMutexW(nullptr, TRUE, startupOptions.mutexName.c_str()));
    if (!instanceMutex) {
        return kExitAnotherInstance;
    }
    if (platform::GetLastError() == ERROR_ALREADY_EXISTS) {
        return kExitAnotherInstance;
    }

    if (!CreateTrayWindow(instance)) {
        return kExitNoWindow;
    }
    RegisterTaskbarCreatedMessage();
    InitTrayRecord(trayWindow, instance);
    RefreshTrayIcon();
    // Notices that are due show at once, not only after the first tick.
    PollNotices();
    StartRefreshTimer();

    RunMessageLoop();

    EndComForShell();
    return kExitNormal;
}
