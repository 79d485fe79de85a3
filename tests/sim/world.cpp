#include "world.h"

#include "app/startup.h"
#include "app/tray_companion.h"
#include "tray/tray_record.h"

#include <exception>

namespace sim {

namespace {

World* current = nullptr;

std::optional<POINT> AnchorOf(WPARAM wParam) {
    if (wParam == 0) {
        return std::nullopt;
    }
    const auto anchor = static_cast<DWORD>(wParam);
    return POINT{static_cast<SHORT>(LOWORD(anchor)), static_cast<SHORT>(HIWORD(anchor))};
}

}  // namespace

World& World::Current() {
    return *current;
}

World::World(Chooser chooser, int steps)
    : chooser_(std::move(chooser)),
      steps_(steps),
      handles_(checker_),
      clock_(chooser_, log_, checker_),
      files_(chooser_, log_, handles_, checker_),
      companion_(chooser_, log_, clock_, files_, handles_),
      display_(chooser_, log_, desktop_),
      shell_(chooser_, log_, clock_, checker_, desktop_),
      user_(chooser_, log_, shell_, handles_, checker_),
      process_(handles_, checker_),
      checker_(log_, window_, files_.Seen(), companion_.Known()),
      desktop_(checker_) {
    clock_.Start();
    display_.Start();
    companion_.ListAtStart();
    files_.RememberRunsBefore(companion_.Listed(), clock_.Today());
    checker_.Start();
    companion_.RewriteStateFile();
}

const std::vector<Violation>& World::Run() {
    current = this;
    const SeenFileModel& seen = files_.Seen();
    log_.Note("start: " + std::to_string(companion_.Listed().size()) +
              " notices listed, seen file " +
              (seen.kind == SeenFileModel::Kind::Missing ? "missing"
               : seen.zeroBytes                          ? "of zero bytes"
                                                         : "with memory"));
    int exitCode = -1;
    try {
        exitCode = RunTrayCompanion(reinterpret_cast<HINSTANCE>(0x400000));
    } catch (const std::exception& error) {
        checker_.ProgramThrew(error.what());
    }
    checker_.AtEnd(exitCode, handles_.OpenNames(), process_.ComStarts(), process_.ComEnds(),
                   shell_.HoldsIcon() && log_.Step() >= steps_);
    desktop_.AtEnd(display_.LiveImages().size());
    current = nullptr;
    return checker_.Violations();
}

// --- the steps ---

BOOL World::NextStep(LPMSG msg) {
    *msg = MSG{};
    if (window_.QuitPosted()) {
        msg->message = WM_QUIT;
        return FALSE;
    }
    if (window_.Destroyed()) {
        checker_.MessageAskedForAfterDestroy();
        msg->message = WM_QUIT;
        return FALSE;
    }
    checker_.BetweenSteps();
    desktop_.BetweenSteps(display_.LiveImages(), shell_.HeldImage(), shell_.HoldsIcon());
    if (const auto posted = window_.TakePosted()) {
        *msg = *posted;
        return TRUE;
    }
    if (log_.Step() >= steps_) {
        log_.Note("the window is destroyed from outside");
        msg->hwnd = window_.Handle();
        msg->message = WM_DESTROY;
        return TRUE;
    }
    log_.BeginStep();
    ActBeforeMessage();
    *msg = NextMessage();
    return TRUE;
}

void World::ActBeforeMessage() {
    companion_.Act();
    files_.Act();
    clock_.Act();
    user_.Act();
    if (chooser_.Chance(2)) {
        RecreateTaskbar();
    }
}

// With version 4 the shell passes where a menu belongs in wParam, in screen coordinates.
MSG World::TrayMessage(WORD event, std::optional<POINT> anchor) const {
    MSG msg{};
    msg.hwnd = window_.Handle();
    msg.message = kTrayCallbackMessage;
    msg.lParam = MAKELPARAM(event, kTrayIconId);
    if (anchor) {
        msg.wParam = static_cast<WPARAM>(static_cast<DWORD>(
            MAKELONG(static_cast<WORD>(anchor->x), static_cast<WORD>(anchor->y))));
    }
    return msg;
}

// The user changes the scale or moves the taskbar to another display, without the taskbar
// being re-created: one of the messages Windows sends about it.
MSG World::DisplaysMessage() {
    MSG msg{};
    msg.hwnd = window_.Handle();
    display_.Change();
    switch (chooser_.Below(3)) {
        case 0:
            msg.message = WM_DISPLAYCHANGE;
            break;
        case 1:
            msg.message = WM_DPICHANGED;
            break;
        default:
            msg.message = WM_SETTINGCHANGE;
            msg.wParam = SPI_SETWORKAREA;
            break;
    }
    return msg;
}

MSG World::NextMessage() {
    if (const auto due = shell_.TakeDueEvent(log_.Step())) {
        return TrayMessage(due->event);
    }
    MSG msg{};
    msg.hwnd = window_.Handle();
    const std::uint32_t choice = chooser_.Below(100);
    if (choice < 70) {
        msg.message = WM_TIMER;
        msg.wParam = kRefreshTimerId;
    } else if (choice < 80) {
        const MenuRequest request = user_.AskForMenu();
        msg = TrayMessage(request.event, request.anchor);
    } else if (choice < 88 && user_.SeesBalloon()) {
        user_.ClickBalloon();
        msg = TrayMessage(NIN_BALLOONUSERCLICK);
    } else if (choice < 92) {
        // A notification clicked long after its balloon, or an end the shell repeats.
        const WORD event = shell_.OldBalloonEvent(NIN_BALLOONHIDE);
        log_.Note(std::string(EventName(event)) + " of an old balloon");
        msg = TrayMessage(event);
    } else if (choice < 94) {
        msg.message = WM_SETTINGCHANGE;
    } else if (choice < 96) {
        msg = DisplaysMessage();
    } else {
        msg.message = WM_TIMER;
        msg.wParam = 7;  // a timer of another id still counts as a tick
    }
    return msg;
}

LRESULT World::Dispatch(const MSG* msg) {
    if (msg->hwnd != window_.Handle() || window_.Destroyed()) {
        return 0;
    }
    const bool tick = msg->message == WM_TIMER;
    if (tick) {
        clock_.AdvanceForTick();
        log_.Note("tick");
    }
    const LRESULT result = Send(msg->message, msg->wParam, msg->lParam);
    if (msg->message == WM_DESTROY) {
        Send(WM_NCDESTROY, 0, 0);
        window_.MarkDestroyed();
    }
    if (tick) {
        Checker::TickFacts facts;
        facts.ticks = clock_.Ticks();
        if (shell_.OnScreen()) {
            facts.balloonShownAtTick = shell_.OnScreen()->shownAtTick;
        }
        facts.iconHeld = shell_.HoldsIcon();
        facts.companionRuns = companion_.Runs();
        facts.userCanSee = user_.CanSeeNotifications();
        checker_.AfterTick(facts);
    }
    return result;
}

LRESULT World::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!window_.Receives()) {
        return 0;
    }
    if (message == WM_TIMER) {
        clock_.CountTick();
    }
    const Checker::Delivery delivery = checker_.BeginDelivery(message, lParam);
    const bool userAction = delivery.menuEvent || delivery.click;
    if (userAction) {
        desktop_.UserActionBegins(companion_.Runs(), companion_.Rewrites());
    }
    if (delivery.menuEvent) {
        desktop_.MenuAskedFor(AnchorOf(wParam), user_.Cursor());
    }
    const LRESULT result = window_.Call(message, wParam, lParam);
    if (delivery.menuEvent) {
        desktop_.MenuRequestHandled(shell_.HoldsIcon());
    }
    if (userAction) {
        desktop_.UserActionEnds();
    }
    checker_.EndDelivery(delivery);
    if (message == kTaskbarCreatedMessage || message == WM_DISPLAYCHANGE ||
        message == WM_DPICHANGED || (message == WM_SETTINGCHANGE && wParam == SPI_SETWORKAREA)) {
        desktop_.DisplaysChangeHandled(shell_.HoldsIcon(), display_.SizeOf(shell_.HeldImage()),
                                       display_.TaskbarIconSize());
    }
    return result;
}

// --- what the world delivers inside the program's calls ---

void World::Nested(const char* where) {
    switch (chooser_.Below(5)) {
        case 0:
            break;
        case 1:
            if (const auto event = shell_.TakeNextEvent()) {
                DeliverEvent(event->event, where);
            }
            break;
        case 2:
            DeliverTick(where);
            break;
        case 3:
            RecreateTaskbar();
            break;
        case 4:
            DeliverEvent(shell_.OldBalloonEvent(NIN_BALLOONTIMEOUT),
                         std::string("of an old balloon, ") + where);
            break;
    }
}

void World::DeliverEvent(WORD event, const std::string& how, WPARAM wParam) {
    log_.Note(std::string(EventName(event)) + " " + how);
    Send(kTrayCallbackMessage, wParam, MAKELPARAM(event, kTrayIconId));
}

void World::DeliverTick(const char* how) {
    clock_.AdvanceForTick();
    log_.Note(std::string("tick ") + how);
    Send(WM_TIMER, kRefreshTimerId, 0);
}

void World::RecreateTaskbar() {
    // Explorer re-creates its taskbar also when the scale or the main display changes.
    if (chooser_.Chance(30)) {
        display_.Change();
    }
    shell_.RecreateTaskbar();
    Send(kTaskbarCreatedMessage, 0, 0);
}

// --- the platform calls ---

BOOL World::NotifyIcon(DWORD message, const NOTIFYICONDATAW* data) {
    if (!Shell::IsBalloonRequest(message, *data)) {
        return shell_.Notify(message, *data);
    }
    const std::wstring id = IdOfTitle(data->szInfoTitle);
    if (!user_.CanSeeNotifications()) {
        checker_.BalloonRequestedUnseen(id);
    }
    const auto request = shell_.BeginBalloonRequest(id);
    if (!request) {
        return FALSE;
    }
    // Ends that the shell kept for the next request, then whatever else it sends meanwhile.
    while (const auto late = shell_.TakeEventForRequest()) {
        DeliverEvent(late->event, "inside the next request");
    }
    if (chooser_.Chance(20)) {
        Nested("inside the request");
    }
    return shell_.EndBalloonRequest(*request);
}

BOOL World::TrackMenu(int x, int y) {
    desktop_.MenuTracked(x, y);
    if (chooser_.Chance(10)) {
        Nested("while the menu is open");
    }
    // Some shells report Enter twice: the second arrives while the first menu tracks.
    if (chooser_.Chance(15)) {
        const WPARAM wParam = static_cast<WPARAM>(static_cast<DWORD>(
            MAKELONG(static_cast<WORD>(kIconPoint.x), static_cast<WORD>(kIconPoint.y))));
        DeliverEvent(NIN_KEYSELECT, "again while the menu is open", wParam);
    }
    const BOOL command = user_.ChooseFromMenu();
    desktop_.MenuClosed(command == 0 && user_.LeftMenuWithEscape());
    return command;
}

void World::HandToShell(LPCWSTR file) {
    if (chooser_.Chance(10)) {
        Nested("while the shell hands the address over");
    }
    shell_.HandAddressOver(file);
}

BOOL World::AllowForeground(DWORD processId) {
    log_.Note("the program lets process " + std::to_string(processId) + " come forward");
    desktop_.ForegroundAllowed(processId, companion_.ProcessId(), companion_.Runs());
    return TRUE;
}

BOOL World::StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info) {
    desktop_.LauncherStarted(companion_.ProcessId(), companion_.Runs(), companion_.Rewrites());
    return process_.StartProcess(commandLine, info);
}

BOOL World::CloseHandle(HANDLE handle) {
    if (!handles_.Close(handle)) {
        return FALSE;
    }
    files_.Closed(handle);
    return TRUE;
}

DWORD World::ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                         DWORD size, LPCWSTR path) {
    const DWORD length = files_.ReadProfile(section, key, defaultValue, buffer, size, path);
    companion_.AfterRead(path == kStatePath);
    return length;
}

}  // namespace sim
