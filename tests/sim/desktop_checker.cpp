#include "desktop_checker.h"

#include "checker.h"
#include "run_log.h"

#include <string>

namespace sim {

// --- the menu ---

void DesktopChecker::MenuAskedFor(std::optional<POINT> anchor, POINT cursor) {
    requests_.push_back(MenuRequest{anchor, cursor});
}

void DesktopChecker::MenuRequestHandled(bool shellHoldsIcon) {
    if (requests_.empty()) {
        return;
    }
    const MenuRequest request = requests_.back();
    requests_.pop_back();
    if (!request.closed) {
        return;
    }
    if (request.withEscape && !request.focusReturned && shellHoldsIcon) {
        checker_.Fail("after a menu left with Escape the focus goes back to the notification area",
                      "no NIM_SETFOCUS");
    }
    if (!request.withEscape && request.focusReturned) {
        checker_.Fail("a menu dismissed with a click leaves the focus where the user clicked",
                      "NIM_SETFOCUS after a click elsewhere or a command");
    }
}

void DesktopChecker::MenuTracked(int x, int y) {
    if (tracking_) {
        checker_.Fail("never two menus at once", "a menu tracked inside another");
    }
    tracking_ = true;
    if (requests_.empty()) {
        checker_.Fail("a menu opens only when the user asks for it", "no request being handled");
        return;
    }
    const MenuRequest& request = requests_.back();
    const POINT expected = request.anchor.value_or(request.cursor);
    if (x != expected.x || y != expected.y) {
        checker_.Fail("the menu opens at the point the shell passed, at the cursor where none came",
                      "at " + PointText(POINT{x, y}) + ", asked for at " + PointText(expected) +
                          (request.anchor ? " (the point passed)" : " (the cursor)"));
    }
}

void DesktopChecker::MenuClosed(bool withEscape) {
    tracking_ = false;
    if (!requests_.empty()) {
        requests_.back().closed = true;
        requests_.back().withEscape = withEscape;
    }
}

void DesktopChecker::FocusReturned() {
    if (requests_.empty() || !requests_.back().closed) {
        checker_.Fail("a menu dismissed with a click leaves the focus where the user clicked",
                      "NIM_SETFOCUS with no menu just closed");
        return;
    }
    requests_.back().focusReturned = true;
}

// --- the foreground ---

void DesktopChecker::ForegroundAllowed(DWORD processId, DWORD companionProcessId,
                                       bool companionRuns) {
    if (processId == ASFW_ANY || processId != companionProcessId || !companionRuns) {
        checker_.Fail("only the running companion application is let come forward",
                      "process " + std::to_string(processId) +
                          (companionRuns ? "" : " while the companion does not run"));
    }
    foregroundFor_ = processId;
}

void DesktopChecker::UserActionBegins(bool companionRuns, int stateWrites) {
    actions_.push_back(UserAction{companionRuns, stateWrites});
}

void DesktopChecker::UserActionEnds() {
    if (!actions_.empty()) {
        actions_.pop_back();
    }
}

void DesktopChecker::LauncherStarted(DWORD companionProcessId, bool companionRuns,
                                     int stateWrites) {
    const bool ranThroughout = companionRuns && !actions_.empty() &&
                               actions_.back().companionRuns &&
                               actions_.back().stateWrites == stateWrites;
    if (ranThroughout && foregroundFor_ != companionProcessId) {
        checker_.Fail("before the launcher starts, the running application is let come forward",
                      "no AllowSetForegroundWindow for it");
    }
    foregroundFor_.reset();
}

// --- the icon images ---

void DesktopChecker::ImageNotSquare(int cx, int cy) {
    checker_.Fail("the icon is loaded square, at the taskbar's size",
                  std::to_string(cx) + " by " + std::to_string(cy));
}

void DesktopChecker::ImageDestroyedThatIsNotLoaded() {
    checker_.Fail("every icon image is destroyed once", "an image destroyed that is not loaded");
}

void DesktopChecker::DisplaysChangeHandled(bool shellHoldsIcon, int heldImageSize,
                                           int taskbarIconSize) {
    if (shellHoldsIcon && heldImageSize != taskbarIconSize) {
        checker_.Fail(
            "after every change of the displays the shell holds an image of the size "
            "the taskbar draws",
            std::to_string(heldImageSize) + " pixels held, " + std::to_string(taskbarIconSize) +
                " drawn");
    }
}

void DesktopChecker::BetweenSteps(const std::vector<HICON>& liveImages, HICON heldImage,
                                  bool shellHoldsIcon) {
    if (foregroundFor_) {
        checker_.Fail("the foreground is passed on only for a start of the launcher",
                      "process " + std::to_string(*foregroundFor_) + " let come forward, no start");
        foregroundFor_.reset();
    }
    if (liveImages.size() > 1) {
        checker_.Fail("every icon image but the one in use is destroyed",
                      std::to_string(liveImages.size()) + " images loaded");
    } else if (shellHoldsIcon && liveImages.size() == 1 && liveImages.front() != heldImage) {
        checker_.Fail("every icon image but the one in use is destroyed",
                      "the image loaded is not the one the shell holds");
    }
}

void DesktopChecker::AtEnd(std::size_t liveImages) {
    if (liveImages != 0) {
        checker_.Fail("every icon image is destroyed at the end",
                      std::to_string(liveImages) + " left");
    }
}

}  // namespace sim
