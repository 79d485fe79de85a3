#include "user.h"

#include "checker.h"
#include "chooser.h"
#include "handles.h"
#include "run_log.h"
#include "shell.h"

#include "tray/context_menu.h"

#include <string>

namespace sim {

void User::Act() {
    // Escape's key-up reaches the program's thread, or goes to another's and never does.
    if (escapeDown_ && !chooser_.Chance(20)) {
        escapeDown_ = false;
    }
    if (!chooser_.Chance(4)) {
        return;
    }
    // The answers of SHQueryUserNotificationState, the quietest first, and a question that
    // fails.
    static const QUERY_USER_NOTIFICATION_STATE kStates[] = {
        QUNS_ACCEPTS_NOTIFICATIONS, QUNS_NOT_PRESENT, QUNS_BUSY, QUNS_RUNNING_D3D_FULL_SCREEN,
        QUNS_PRESENTATION_MODE,     QUNS_QUIET_TIME,  QUNS_APP};
    static const char* const kNames[] = {"can see notifications",
                                         "is away (screen locked)",
                                         "runs a full-screen program",
                                         "runs a full-screen game",
                                         "presents",
                                         "is in quiet time",
                                         "uses a full-screen app",
                                         "cannot be asked"};
    const std::uint32_t choice = chooser_.Below(8);
    stateUnknown_ = choice == 7;
    if (!stateUnknown_) {
        notificationState_ = kStates[choice];
    }
    log_.Note(std::string("the user ") + kNames[choice]);
}

MenuRequest User::AskForMenu() {
    static const WORD kMenuEvents[] = {WM_CONTEXTMENU, NIN_SELECT, NIN_KEYSELECT};
    MenuRequest request;
    request.event = kMenuEvents[chooser_.Below(3)];
    // Shift+F10, the menu key, or Enter on the icon: the shell passes the icon's place, and the
    // mouse cursor may rest far from it. A click passes the click's place.
    const bool keyboard =
        request.event == NIN_KEYSELECT || (request.event == WM_CONTEXTMENU && chooser_.Chance(50));
    cursor_ = keyboard ? kCursorElsewhere : POINT{1000, 750};
    if (!chooser_.Chance(10)) {
        request.anchor = keyboard ? kIconPoint : cursor_;
    }
    log_.Note(std::string("the user: ") + EventName(request.event) +
              (keyboard ? " with the keyboard" : " with the mouse") +
              (request.anchor ? ", the shell passing " + PointText(*request.anchor)
                              : ", the shell passing no point"));
    return request;
}

bool User::SeesBalloon() const {
    return shell_.OnScreen().has_value();
}

void User::ClickBalloon() {
    log_.Note("the user clicks balloon " + Quoted(shell_.OnScreen()->id));
    shell_.ClickedOnScreen();
}

HMENU User::MakeMenu() {
    menuItems_.clear();
    escapeDownBeforeMenu_ = escapeDown_;
    pressedEscape_ = false;
    return static_cast<HMENU>(handles_.Open("menu"));
}

void User::AddMenuItem(UINT flags, UINT_PTR id) {
    menuItems_.emplace_back(id, flags);
    checker_.MenuItemAdded(id, flags);
}

BOOL User::ChooseFromMenu() {
    std::vector<UINT_PTR> commands;
    for (const auto& [id, flags] : menuItems_) {
        if (id != 0) {
            commands.push_back(id);
        }
    }
    const std::uint32_t choice = chooser_.Below(static_cast<std::uint32_t>(commands.size() + 1));
    if (choice == 0) {
        pressedEscape_ = chooser_.Chance(50);
        escapeDown_ = escapeDown_ || pressedEscape_;
        log_.Note(pressedEscape_ ? "the user leaves the menu with Escape"
                                 : "the user clicks elsewhere: the menu closes");
        return 0;
    }
    const UINT_PTR command = commands[choice - 1];
    checker_.MenuCommandChosen(command);
    static const char* const kNames[] = {"open", "stop", "mute"};
    log_.Note(std::string("the user chooses ") + (command >= kMenuOpen && command <= kMenuMute
                                                      ? kNames[command - kMenuOpen]
                                                      : "an unknown command"));
    return static_cast<BOOL>(command);
}

SHORT User::KeyState(int virtualKey) const {
    // The menu's loop ends on Escape's key-down and leaves its key-up in the queue.
    return virtualKey == VK_ESCAPE && escapeDown_ ? static_cast<SHORT>(0x8000) : 0;
}

HRESULT User::NotificationState(QUERY_USER_NOTIFICATION_STATE* state) const {
    if (stateUnknown_) {
        return E_FAIL;
    }
    *state = notificationState_;
    return S_OK;
}

bool User::CanSeeNotifications() const {
    if (stateUnknown_) {
        return true;
    }
    return notificationState_ == QUNS_ACCEPTS_NOTIFICATIONS || notificationState_ == QUNS_APP;
}

}  // namespace sim
