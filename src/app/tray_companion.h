#pragma once

#include "actions/launcher.h"
#include "actions/notice_target.h"
#include "companion/state_file.h"
#include "core/startup_options.h"
#include "memory/seen_file.h"
#include "notices/balloons.h"
#include "tray/context_menu.h"
#include "tray/tray_icon.h"

#include <windows.h>

inline constexpr wchar_t kTrayWindowClass[] = L"VestrelTrayWindow";
inline constexpr UINT_PTR kRefreshTimerId = 1;
inline constexpr UINT kRefreshPeriodMs = 10000;

// The running program: its options and one part per concern, made at start-up and kept for the
// whole run. The hidden window finds it through its user data; TrayWindowProc hands each event
// to the part that owns what the event changes.
class TrayCompanion {
  public:
    explicit TrayCompanion(StartupOptions options);
    ~TrayCompanion();
    TrayCompanion(const TrayCompanion&) = delete;
    TrayCompanion& operator=(const TrayCompanion&) = delete;

    // Creates the hidden window (which finds this object from then on), adds the icon, shows the
    // notices that are due and starts the ten-second timer. False when no window came.
    bool Start(HINSTANCE instance);

    // Each ten-second tick: the icon's tooltip, the balloon's own end, then a notice pass.
    void Tick();
    // An event of the icon's callback message: the menu, or a balloon's end or click. wParam is
    // where the shell says a menu belongs.
    void OnTrayEvent(WORD event, WPARAM wParam);
    bool IsTaskbarCreated(UINT message) const;
    void OnTaskbarCreated();
    // The displays' scale or arrangement changed; the taskbar may draw its icons at another size.
    void OnDisplayChanged();
    // The window is being destroyed from outside: the icon goes, and the message loop ends.
    void OnDestroy();
    // The window is gone; nothing reaches this object through it any more.
    void OnWindowGone();

    const StartupOptions& Options() const { return options_; }
    const TrayIcon& Icon() const { return icon_; }
    const Balloons& Notices() const { return balloons_; }
    const ContextMenu& Menu() const { return menu_; }

  private:
    const StartupOptions options_;
    StateFile stateFile_;
    SeenFile seenFile_;
    TrayIcon icon_;
    AppLauncher launcher_;
    TargetOpener opener_;
    Balloons balloons_;
    ContextMenu menu_;

    HWND trayWindow_ = nullptr;
    // The shell's "taskbar re-created" message; 0 when it could not be registered.
    UINT taskbarCreatedMessage_ = 0;
};

// The hidden window's procedure: a router from each message to the object's part that owns it.
LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
