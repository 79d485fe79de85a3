// The user, and the popup menu the user chooses from: the three ways to ask for the menu, the
// choice of a command or none, and clicks on the balloon on screen. The menu tells the checker
// what it shows and what was chosen.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

namespace sim {

class Checker;
class Chooser;
class HandleTable;
class RunLog;
class Shell;

class User {
  public:
    User(Chooser& chooser, RunLog& log, Shell& shell, HandleTable& handles, Checker& checker)
        : chooser_(chooser), log_(log), shell_(shell), handles_(handles), checker_(checker) {}

    // The tray event by which the user asks for the menu: a right click, a left click, or the
    // keyboard.
    WORD AskForMenu();
    // Whether there is a balloon the user can click, and the click on it.
    bool SeesBalloon() const;
    void ClickBalloon();

    // The popup menu.
    HMENU MakeMenu();
    void AddMenuItem(UINT flags, UINT_PTR id);
    // The user's choice once the menu shows: a command, or 0 for none.
    BOOL ChooseFromMenu();
    // Where the cursor is: at the icon, in the corner of the screen.
    POINT Cursor() const { return POINT{1000, 750}; }

  private:
    Chooser& chooser_;
    RunLog& log_;
    Shell& shell_;
    HandleTable& handles_;
    Checker& checker_;
    std::vector<std::pair<UINT_PTR, UINT>> menuItems_;
};

}  // namespace sim
