// The user, and the popup menu the user chooses from: the ways to ask for the menu (a right or a
// left click, the keyboard), the choice of a command or none (Escape, or a click elsewhere),
// clicks on the balloon on screen, and whether the user can see a notification now (the screen
// locked, a full-screen program, a presentation, quiet time). The menu tells the checker what it
// shows and what was chosen.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <utility>
#include <vector>

namespace sim {

class Checker;
class Chooser;
class HandleTable;
class RunLog;
class Shell;

// A request for the menu: the tray event, and the point the shell passes with it (the click for
// the mouse, the icon for the keyboard; none from some shells).
struct MenuRequest {
    WORD event = 0;
    std::optional<POINT> anchor;
};

class User {
  public:
    User(Chooser& chooser, RunLog& log, Shell& shell, HandleTable& handles, Checker& checker)
        : chooser_(chooser), log_(log), shell_(shell), handles_(handles), checker_(checker) {}

    // Between two messages: the key let go, and now and then the user becomes busy or free.
    void Act();

    MenuRequest AskForMenu();
    // Whether there is a balloon the user can click, and the click on it.
    bool SeesBalloon() const;
    void ClickBalloon();

    // The popup menu.
    HMENU MakeMenu();
    void AddMenuItem(UINT flags, UINT_PTR id);
    // The user's choice once the menu shows: a command, or 0 for none (Escape, or a click
    // elsewhere).
    BOOL ChooseFromMenu();
    // Left with Escape, which was up when the menu opened: the program can tell.
    bool LeftMenuWithEscape() const { return pressedEscape_ && !escapeDownBeforeMenu_; }
    // Escape was down already when the menu opened (its key-up never came back).
    bool EscapeDownBeforeMenu() const { return escapeDownBeforeMenu_; }
    SHORT KeyState(int virtualKey) const;
    POINT Cursor() const { return cursor_; }

    // What SHQueryUserNotificationState answers, and whether a balloon requested now is seen.
    HRESULT NotificationState(QUERY_USER_NOTIFICATION_STATE* state) const;
    bool CanSeeNotifications() const;

  private:
    Chooser& chooser_;
    RunLog& log_;
    Shell& shell_;
    HandleTable& handles_;
    Checker& checker_;
    std::vector<std::pair<UINT_PTR, UINT>> menuItems_;
    POINT cursor_{1000, 750};
    bool escapeDown_ = false;
    bool escapeDownBeforeMenu_ = false;
    bool pressedEscape_ = false;  // in the menu last shown
    QUERY_USER_NOTIFICATION_STATE notificationState_ = QUNS_ACCEPTS_NOTIFICATIONS;
    bool stateUnknown_ = false;  // the question fails
};

// Where the program's icon stands in the notification area, and where a keyboard user's mouse
// cursor rests meanwhile: on the display left of the main one.
inline constexpr POINT kIconPoint{1012, 758};
inline constexpr POINT kCursorElsewhere{-1200, 300};

}  // namespace sim
