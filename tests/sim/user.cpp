#include "user.h"

#include "checker.h"
#include "chooser.h"
#include "handles.h"
#include "run_log.h"
#include "shell.h"

#include "tray/context_menu.h"

#include <string>

namespace sim {

WORD User::AskForMenu() {
    static const WORD kMenuEvents[] = {WM_CONTEXTMENU, NIN_SELECT, NIN_KEYSELECT};
    const WORD event = kMenuEvents[chooser_.Below(3)];
    log_.Note(std::string("the user: ") + EventName(event));
    return event;
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
        log_.Note("the user closes the menu");
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

}  // namespace sim
