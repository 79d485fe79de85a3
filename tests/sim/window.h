// The program's window as Windows holds it: the procedure of its class, the object kept in its
// user data, the messages posted to it and the quit, and whether it is destroyed.
#pragma once

#include <windows.h>

#include <deque>
#include <optional>

class TrayCompanion;

namespace sim {

// What RegisterWindowMessageW gives for "TaskbarCreated" (and for any other name).
inline constexpr UINT kTaskbarCreatedMessage = 0xC0DE;

class Window {
  public:
    ATOM RegisterWindowClass(const WNDCLASSW* windowClass);
    // The window; its procedure runs WM_NCCREATE and WM_CREATE before this returns.
    HWND Create(LPVOID param);
    HWND Handle() const { return handle_; }

    LONG_PTR SetUserData(LONG_PTR value);
    LONG_PTR UserData() const { return userData_; }
    // The program's object, once the window procedure has stored it; null before.
    const ::TrayCompanion* Program() const;

    // True while a message sent to the window reaches its procedure.
    bool Receives() const { return procedure_ != nullptr && !destroyed_; }
    LRESULT Call(UINT message, WPARAM wParam, LPARAM lParam);
    void MarkDestroyed() { destroyed_ = true; }
    bool Destroyed() const { return destroyed_; }

    void Post(const MSG& msg) { posted_.push_back(msg); }
    std::optional<MSG> TakePosted();
    void PostQuit() { quitPosted_ = true; }
    bool QuitPosted() const { return quitPosted_; }

  private:
    WNDPROC procedure_ = nullptr;
    HWND handle_ = nullptr;
    LONG_PTR userData_ = 0;
    bool destroyed_ = false;
    bool quitPosted_ = false;
    std::deque<MSG> posted_;
};

}  // namespace sim
