// A simulated Windows for the program's logic: files and profile files in memory, a shell, a
// clock, the companion application and the user, all deterministic from one stream of choices.
// It stands behind the same platform header as the recording fake (platform_sim.cpp), and the
// program runs in it whole, message loop included: every GetMessageW is one step of the world.
//
// The world is a scheduler over its modules: it owns them, runs the steps between two messages,
// and hands each platform call to the module that owns it. Where a call lets the program run
// again before it returns (a balloon request, the menu's tracking, the hand-off of an address),
// the world delivers meanwhile what the shell and the clock have in store.
#pragma once

#include "checker.h"
#include "chooser.h"
#include "clock.h"
#include "companion.h"
#include "desktop_checker.h"
#include "display.h"
#include "files.h"
#include "handles.h"
#include "process.h"
#include "run_log.h"
#include "shell.h"
#include "user.h"
#include "window.h"

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

class World {
  public:
    World(Chooser chooser, int steps);
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Runs the whole program in this world to its end; the violations found, in order.
    const std::vector<Violation>& Run();

    const std::vector<std::string>& Log() const { return log_.Lines(); }
    const std::vector<Violation>& Violations() const { return checker_.Violations(); }
    const Chooser& Choices() const { return chooser_; }
    int StepsTaken() const { return log_.Step(); }
    int BalloonsShown() const { return shell_.BalloonsShown(); }

    // The platform functions of platform_sim.cpp reach the world through this.
    static World& Current();

    // The modules that answer a platform call alone.
    Window& TheWindow() { return window_; }
    Process& TheProcess() { return process_; }
    Files& TheFiles() { return files_; }
    Companion& TheCompanion() { return companion_; }
    Shell& TheShell() { return shell_; }
    User& TheUser() { return user_; }
    Display& TheDisplay() { return display_; }
    const Clock& TheClock() const { return clock_; }

    // The platform calls that take more than one module, or that let the program run again
    // before they return.
    BOOL NextStep(LPMSG msg);
    LRESULT Dispatch(const MSG* msg);
    BOOL NotifyIcon(DWORD message, const NOTIFYICONDATAW* data);
    BOOL TrackMenu(int x, int y);
    void HandToShell(LPCWSTR file);
    BOOL AllowForeground(DWORD processId);
    BOOL StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info);
    BOOL CloseHandle(HANDLE handle);
    DWORD ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD size,
                      LPCWSTR path);

  private:
    // The steps of the world between two messages.
    void ActBeforeMessage();
    MSG NextMessage();
    MSG TrayMessage(WORD event, std::optional<POINT> anchor = std::nullopt) const;
    MSG DisplaysMessage();
    // Sent messages that the world delivers while the program waits inside a call.
    void Nested(const char* where);
    void DeliverEvent(WORD event, const std::string& how, WPARAM wParam = 0);
    void DeliverTick(const char* how);
    void RecreateTaskbar();
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam);

    Chooser chooser_;
    int steps_;
    RunLog log_;
    // The modules report to the checkers, which are made last, from what they hold.
    Window window_;
    HandleTable handles_;
    Clock clock_;
    Files files_;
    Companion companion_;
    Display display_;
    Shell shell_;
    User user_;
    Process process_;
    Checker checker_;
    DesktopChecker desktop_;
};

}  // namespace sim
