#include "app/startup.h"

#include "app/options.h"
#include "app/tray_window.h"
#include "notices/notice_queue.h"
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
    if (!ParseOptions()) {
        return kExitOptionsMissing;
    }

    HANDLE instanceMutex = platform::CreateMutexW(nullptr, TRUE, startupOptions.mutexName.c_str());
    if (instanceMutex == nullptr) {
        return kExitAnotherInstance;
    }
    if (platform::GetLastError() == ERROR_ALREADY_EXISTS) {
        platform::CloseHandle(instanceMutex);
        return kExitAnotherInstance;
    }

    if (!CreateTrayWindow(instance)) {
        platform::CloseHandle(instanceMutex);
        return kExitNoWindow;
    }
    RegisterTaskbarCreatedMessage();
    InitTrayRecord(trayWindow, instance);
    RefreshTrayIcon();
    // Notices that are due show at once, not only after the first tick.
    PollNotices();
    StartRefreshTimer();

    RunMessageLoop();

    platform::CloseHandle(instanceMutex);
    return kExitNormal;
}
