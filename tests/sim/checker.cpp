#include "checker.h"

#include "actions/notice_target.h"
#include "app/tray_companion.h"
#include "notices/balloons.h"
#include "tray/context_menu.h"
#include "tray/tray_record.h"
#include "web_host.h"

#include <shellapi.h>

namespace sim {

namespace {

// What a click on a balloon with this target must open: a start of the application on a
// screen, an address handed to the shell, or nothing.
std::wstring ExpectedOpen(const std::wstring& target) {
    if (target.starts_with(kScreenPrefix)) {
        const std::wstring screen = target.substr(kScreenPrefix.size());
        return IsScreenName(screen) ? L"launch --screen " + screen : L"";
    }
    const std::wstring origin = kCompanionWebOrigin;
    if (target == origin || target.starts_with(origin + L"/")) {
        return L"shell " + target;
    }
    return L"";
}

bool IsBalloonEnd(WORD event) {
    return event == NIN_BALLOONHIDE || event == NIN_BALLOONTIMEOUT || event == NIN_BALLOONUSERCLICK;
}

bool IsMenuEvent(WORD event) {
    return event == WM_CONTEXTMENU || event == NIN_SELECT || event == NIN_KEYSELECT;
}

}  // namespace

void Checker::Start() {
    userMute_ = seen_.Value(L"prefs", L"mute_nudges") == L"1";
    muteStoredInFile_ = seen_.kind == SeenFileModel::Kind::File;
    nudgeDayStoredInFile_ = muteStoredInFile_;
}

void Checker::Fail(const std::string& invariant, const std::string& detail) {
    violations_.push_back(Violation{invariant, detail, log_.Step()});
    log_.Note("VIOLATED: " + invariant + " (" + detail + ")");
}

// --- the message pump ---

void Checker::BetweenSteps() {
    ObserveQueue(nullptr);
}

void Checker::MessageAskedForAfterDestroy() {
    Fail("the message loop ends when the window is destroyed", "no quit was posted");
}

Checker::Delivery Checker::BeginDelivery(UINT message, LPARAM lParam) {
    const WORD event = LOWORD(lParam);
    const bool trayEvent = message == kTrayCallbackMessage;
    if (trayEvent && IsBalloonEnd(event)) {
        ++endsDelivered_;
    } else if (message == kTaskbarCreatedMessage) {
        ++taskbarsDelivered_;
    }
    Delivery delivery;
    delivery.click = trayEvent && event == NIN_BALLOONUSERCLICK;
    delivery.menuEvent = trayEvent && IsMenuEvent(event);
    if (delivery.click) {
        // A click may arrive while another is handled (from inside the hand-off of its address).
        delivery.outerInClick = inClick_;
        delivery.outerExpected = expectedOpen_;
        delivery.outerOpened = opened_;
        inClick_ = true;
        expectedOpen_ = ExpectedOpen(lastShownTarget_);
        opened_.clear();
    }
    return delivery;
}

void Checker::EndDelivery(const Delivery& delivery) {
    if (delivery.click) {
        if (!expectedOpen_.empty() && opened_.empty()) {
            Fail("a click opens the target of the last balloon on screen, or nothing",
                 "nothing opened for " + Narrow(expectedOpen_));
        }
        inClick_ = delivery.outerInClick;
        expectedOpen_ = delivery.outerExpected;
        opened_ = delivery.outerOpened;
    }
    if (delivery.menuEvent) {
        inMenuCommand_ = false;
        menuCommand_ = 0;
    }
}

// A notice that is due must not wait behind a balloon that is not there.
void Checker::AfterTick(const TickFacts& facts) {
    const bool balloonUp = facts.balloonShownAtTick &&
                           facts.ticks - *facts.balloonShownAtTick < kTicksBeforeBalloonEnds;
    const TrayCompanion* program = window_.Program();
    const bool waiting = program != nullptr && !program->Notices().Queue().empty();
    if (waiting && !balloonUp && facts.iconHeld && facts.companionRuns && facts.userCanSee &&
        seen_.CanBeRead() && !requestSinceLastTick_) {
        if (++ticksWaitingWithNothingOnScreen_ >= 2) {
            Fail(
                "a queued notice waits no more than one tick while no balloon is on screen",
                std::to_string(ticksWaitingWithNothingOnScreen_) + " ticks with nothing requested");
        }
    } else {
        ticksWaitingWithNothingOnScreen_ = 0;
    }
    requestSinceLastTick_ = false;
}

void Checker::ProgramThrew(const char* what) {
    Fail("nothing throws", what);
}

void Checker::AtEnd(int exitCode, const std::vector<std::string>& openHandles, int comStarts,
                    int comEnds, bool iconLeftBehind) {
    if (exitCode != 0) {
        Fail("the program ends with exit code 0 when its window is destroyed",
             "exit code " + std::to_string(exitCode));
    }
    for (const std::string& handle : openHandles) {
        Fail("every handle the program opened is closed at the end", handle);
    }
    if (comStarts != comEnds) {
        Fail("COM started for the shell is ended once",
             std::to_string(comStarts) + " starts, " + std::to_string(comEnds) + " ends");
    }
    if (iconLeftBehind) {
        Fail("the icon leaves with the window", "the shell still holds it");
    }
}

// --- the shell and the processes ---

void Checker::BalloonRequested(const std::wstring& id, bool insideAnotherRequest,
                               std::int64_t tick) {
    ObserveQueue(&id);
    requestSinceLastTick_ = true;
    if (insideAnotherRequest) {
        Fail("never two balloons requested without an end between them",
             Quoted(id) + " requested inside another balloon's request");
        return;
    }
    if (anyShown_ && endsDelivered_ == endsAtShow_ && taskbarsDelivered_ == taskbarsAtShow_ &&
        tick - ticksAtShow_ < kTicksBeforeBalloonEnds) {
        Fail("never two balloons requested without an end between them",
             Quoted(id) + " requested " + std::to_string(tick - ticksAtShow_) +
                 " ticks after the last balloon, no end reported");
    }
}

void Checker::BalloonShown(const std::wstring& id, const std::wstring& day, std::int64_t tick) {
    const auto known = known_.find(id);
    const bool nudge = known != known_.end() && known->second.kind == L"nudge";
    if (!shownThisRun_.insert(id).second) {
        Fail("no notice is shown twice in a run", Quoted(id) + " again");
    }
    if (nudge && ++nudgesShownOnDay_[day] > 1) {
        Fail("at most one nudge is shown a day", Quoted(id) + " is nudge number " +
                                                     std::to_string(nudgesShownOnDay_[day]) +
                                                     " on " + Narrow(day));
    }
    lastShownTarget_ = known != known_.end() ? known->second.target : L"";
    anyShown_ = true;
    endsAtShow_ = endsDelivered_;
    taskbarsAtShow_ = taskbarsDelivered_;
    ticksAtShow_ = tick;
}

void Checker::BalloonRequestedUnseen(const std::wstring& id) {
    Fail("no balloon is requested while the user cannot see it", Quoted(id));
}

void Checker::Opened(const std::wstring& what) {
    log_.Note("the program opens " + Narrow(what));
    if (inMenuCommand_) {
        const std::wstring expected = menuCommand_ == kMenuOpen   ? L"launch"
                                      : menuCommand_ == kMenuStop ? L"launch --screen stop"
                                                                  : L"";
        if (what != expected) {
            Fail("a menu command starts exactly what it names",
                 Narrow(what) + " for command " + std::to_string(menuCommand_));
        }
        inMenuCommand_ = false;
        return;
    }
    if (inClick_) {
        if (what != expectedOpen_) {
            Fail("a click opens the target of the last balloon on screen, or nothing",
                 Narrow(what) + " opened where " +
                     (expectedOpen_.empty() ? std::string("nothing") : Narrow(expectedOpen_)) +
                     " was due");
        } else if (!opened_.empty()) {
            Fail("a click opens the target of the last balloon on screen, or nothing",
                 Narrow(what) + " opened twice for one click");
        }
        opened_.push_back(what);
        return;
    }
    Fail("nothing is started or opened but by a click or a menu command", Narrow(what));
}

// --- the handles and the clock ---

void Checker::HandleClosedThatIsNotOpen() {
    Fail("every handle is closed once", "a handle closed that is not open");
}

void Checker::ClockWentBack() {
    // A day the clock comes back to may see its nudge again.
    nudgesShownOnDay_.clear();
}

// --- the files ---

void Checker::SeenMemoryLost() {
    if (muteStoredInFile_) {
        userMute_.reset();
    }
    if (nudgeDayStoredInFile_) {
        nudgesShownOnDay_.clear();
    }
}

void Checker::SeenPreferenceRead(const std::wstring& key) {
    if (key == L"mute_nudges") {
        programKnowsMute_ = true;
    } else if (key == L"last_nudge_day" && !programKnowsNudgeDay_) {
        programKnowsNudgeDay_ = true;
        const std::wstring day = seen_.Value(L"prefs", L"last_nudge_day");
        if (!day.empty() && nudgesShownOnDay_[day] == 0) {
            nudgesShownOnDay_[day] = 1;
        }
    }
}

void Checker::PreferenceWritten(const std::wstring& key, const std::wstring& value, bool stored) {
    if (key == L"mute_nudges") {
        // What waits in the queue was queued before this choice.
        ObserveQueue(nullptr);
        userMute_ = value == L"1";
        programKnowsMute_ = true;
        muteStoredInFile_ = stored;
    } else if (key == L"last_nudge_day") {
        programKnowsNudgeDay_ = true;
        nudgeDayStoredInFile_ = stored;
    }
}

void Checker::OtherFileRead(const std::wstring& path) {
    Fail("the program reads only its two files", "a read of " + Narrow(path));
}

void Checker::OtherFileWritten(const std::wstring& path) {
    Fail("the program writes only its seen file", "a write to " + Narrow(path));
}

void Checker::OtherFileOpened(const std::wstring& path) {
    Fail("the program opens only its seen file", "an open of " + Narrow(path));
}

// --- the menu ---

void Checker::MenuItemAdded(UINT_PTR id, UINT flags) {
    if (id == kMenuMute && userMute_ && (programKnowsMute_ || seen_.CanBeRead())) {
        const bool checked = (flags & MF_CHECKED) != 0;
        if (checked != *userMute_) {
            Fail("the menu's check mark shows whether the user muted nudges",
                 std::string(checked ? "checked" : "not checked") + " after the user chose " +
                     (*userMute_ ? "mute" : "not to mute"));
        }
    }
}

void Checker::MenuCommandChosen(UINT_PTR command) {
    inMenuCommand_ = true;
    menuCommand_ = command;
}

// --- the queue ---

// Each notice newly queued must be one the program may queue: "danger" before everything that
// waited, the others after it.
void Checker::ObserveQueue(const std::wstring* requested) {
    const TrayCompanion* program = window_.Program();
    if (program == nullptr) {
        return;
    }
    std::vector<std::wstring> queue;
    for (const Notice& notice : program->Notices().Queue()) {
        queue.push_back(notice.id);
    }
    const QueueModel::Observation seen = queue_.Observe(queue, requested);
    if (!seen.orderKept) {
        Fail("a notice leaves the queue only for its balloon, and the waiting keep their order",
             "the queue lost or reordered what waited");
    }
    for (const QueueModel::Entry& entry : seen.entries) {
        const std::wstring& id = entry.id;
        if (entry.twice) {
            Fail("no notice stands in the queue twice", Quoted(id));
        }
        if (entry.waiting) {
            continue;
        }
        const auto known = known_.find(id);
        if (known == known_.end()) {
            Fail("only listed notices are queued", Quoted(id));
            continue;
        }
        const ListedNotice& notice = known->second;
        const bool danger = notice.kind == L"danger";
        if (seen.anyWaited && danger != entry.inFront) {
            Fail("\"danger\" notices queue before all others and the rest after them",
                 Quoted(id) + " (" + Narrow(notice.kind) + ") queued " +
                     (entry.inFront ? "in front of" : "behind") + " the waiting notices");
        }
        if (notice.kind != L"danger" && notice.kind != L"info" && notice.kind != L"nudge") {
            Fail("only notices of a known kind are queued", Quoted(id));
        }
        if (notice.title.empty()) {
            Fail("only notices with a title are queued", Quoted(id));
        }
        if (shownThisRun_.count(id) != 0) {
            Fail("no notice is shown twice in a run", Quoted(id) + " queued again");
        }
        if (seen_.CanBeRead() && seen_.Value(L"shown", id) == L"1") {
            Fail("no notice is queued while the seen file can give its mark", Quoted(id));
        }
        if (notice.kind == L"nudge" && userMute_.value_or(false) &&
            (programKnowsMute_ || seen_.CanBeRead())) {
            Fail("while nudges are muted no nudge is queued", Quoted(id));
        }
    }
}

}  // namespace sim
