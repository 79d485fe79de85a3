// The invariants of what the user meets on the desktop besides the balloons: one menu at a time,
// opened where it was asked for; the focus handed back after a menu left with Escape, and only
// then; the foreground passed on only to the running companion application, right before the
// launcher starts; the icon at the taskbar's size after every change of the displays, and no
// image kept but the one in use. The modules that play a part of Windows report here; broken
// invariants go to the checker.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace sim {

class Checker;

class DesktopChecker {
  public:
    explicit DesktopChecker(Checker& checker) : checker_(checker) {}

    // --- the menu ---
    // A request for the menu is being delivered: the point the shell passed, if any, and where
    // the cursor is.
    void MenuAskedFor(std::optional<POINT> anchor, POINT cursor);
    // Its delivery has ended; the shell holds the icon or not.
    void MenuRequestHandled(bool shellHoldsIcon);
    void MenuTracked(int x, int y);
    void MenuClosed(bool withEscape);
    void FocusReturned();

    // --- the foreground ---
    // The user's action (a menu request, a click on a balloon) is being delivered, and how the
    // companion stood when it began: whether it ran, and its state file's writes so far.
    void UserActionBegins(bool companionRuns, int stateWrites);
    void UserActionEnds();
    void ForegroundAllowed(DWORD processId, DWORD companionProcessId, bool companionRuns);
    // A start of the launcher. The running application must have been let come forward when it
    // ran all through the action, its file unchanged: what the program read told it so.
    void LauncherStarted(DWORD companionProcessId, bool companionRuns, int stateWrites);

    // --- the icon images ---
    void ImageNotSquare(int cx, int cy);
    void ImageDestroyedThatIsNotLoaded();
    // A change of the displays (a re-created taskbar, a change of scale or of the display the
    // taskbar is on) has been handled.
    void DisplaysChangeHandled(bool shellHoldsIcon, int heldImageSize, int taskbarIconSize);

    void BetweenSteps(const std::vector<HICON>& liveImages, HICON heldImage, bool shellHoldsIcon);
    void AtEnd(std::size_t liveImages);

  private:
    struct MenuRequest {
        std::optional<POINT> anchor;
        POINT cursor{};
        bool closed = false;
        bool withEscape = false;
        bool focusReturned = false;
    };

    Checker& checker_;
    // Requests being delivered, the innermost last: a request may come while a menu tracks.
    std::vector<MenuRequest> requests_;
    bool tracking_ = false;
    // The process let come forward, before the start it was let for.
    std::optional<DWORD> foregroundFor_;
    struct UserAction {
        bool companionRuns = false;
        int stateWrites = 0;
    };
    std::vector<UserAction> actions_;
};

}  // namespace sim
