#include "shell.h"

#include "checker.h"
#include "chooser.h"
#include "clock.h"
#include "desktop_checker.h"
#include "run_log.h"

namespace sim {

const char* EventName(WORD event) {
    switch (event) {
        case NIN_BALLOONHIDE:
            return "balloon hidden";
        case NIN_BALLOONTIMEOUT:
            return "balloon timed out";
        case NIN_BALLOONUSERCLICK:
            return "balloon clicked";
        case WM_CONTEXTMENU:
            return "menu asked for";
        case NIN_SELECT:
            return "icon selected";
        case NIN_KEYSELECT:
            return "icon selected by key";
        default:
            return "event";
    }
}

BOOL Shell::Notify(DWORD message, const NOTIFYICONDATAW& data) {
    const bool withImage = (data.uFlags & NIF_ICON) != 0;
    switch (message) {
        case NIM_ADD:
            if (iconHeld_) {
                return FALSE;  // the shell holds it already
            }
            if (chooser_.Chance(5)) {
                log_.Note("the shell refuses the icon");
                return FALSE;
            }
            iconHeld_ = true;
            heldImage_ = withImage ? data.hIcon : nullptr;
            return TRUE;
        case NIM_SETVERSION:
        case NIM_DELETE: {
            const BOOL held = iconHeld_ ? TRUE : FALSE;
            if (message == NIM_DELETE) {
                iconHeld_ = false;
            }
            return held;
        }
        case NIM_MODIFY:
            if (iconHeld_ && withImage) {
                heldImage_ = data.hIcon;
            }
            return iconHeld_ ? TRUE : FALSE;
        case NIM_SETFOCUS:
            log_.Note("the program hands the focus back to the notification area");
            desktop_.FocusReturned();
            return iconHeld_ ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

std::optional<BalloonRequest> Shell::BeginBalloonRequest(const std::wstring& id) {
    checker_.BalloonRequested(id, inRequest_, clock_.Ticks());
    if (!iconHeld_) {
        log_.Note("balloon " + Quoted(id) + " asked for without an icon: refused");
        return std::nullopt;
    }
    BalloonRequest request;
    request.id = id;
    request.refused = chooser_.Chance(10);
    inRequest_ = true;
    taskbarRecreatedInRequest_ = false;
    return request;
}

BOOL Shell::EndBalloonRequest(const BalloonRequest& request) {
    inRequest_ = false;
    const std::wstring& id = request.id;
    if (request.refused) {
        log_.Note("the shell refuses balloon " + Quoted(id));
        return FALSE;
    }
    if (taskbarRecreatedInRequest_) {
        log_.Note("the shell takes balloon " + Quoted(id) + ", but the new taskbar never shows it");
        return TRUE;
    }

    // On screen. What the shell or the user does about it comes later.
    Balloon balloon;
    balloon.id = id;
    balloon.shownAtTick = clock_.Ticks();
    balloon.end = static_cast<BalloonEnd>(chooser_.Below(6));
    const int step = log_.Step();
    switch (balloon.end) {
        case BalloonEnd::AtOnce:
            pending_.push_back({NIN_BALLOONTIMEOUT, step + 1, false, id});
            break;
        case BalloonEnd::Later:
            pending_.push_back(
                {static_cast<WORD>(chooser_.Chance(50) ? NIN_BALLOONHIDE : NIN_BALLOONTIMEOUT),
                 step + 1 + static_cast<int>(chooser_.Below(40)), false, id});
            break;
        case BalloonEnd::Twice:
            pending_.push_back({NIN_BALLOONTIMEOUT, step + 1, false, id});
            pending_.push_back(
                {NIN_BALLOONTIMEOUT, step + 2 + static_cast<int>(chooser_.Below(10)), false, id});
            break;
        case BalloonEnd::Never:
            break;
        case BalloonEnd::Clicked:
            pending_.push_back(
                {NIN_BALLOONUSERCLICK, step + 1 + static_cast<int>(chooser_.Below(10)), false, id});
            break;
        case BalloonEnd::InsideNextRequest:
            pending_.push_back({NIN_BALLOONTIMEOUT, 0, true, id});
            break;
    }
    static const char* const kEnds[] = {"ends at once",    "ends later",
                                        "ends twice",      "never reports its end",
                                        "will be clicked", "ends inside the next request"};
    log_.Note("balloon " + Quoted(id) + " on screen; it " + kEnds[static_cast<int>(balloon.end)]);
    ++balloonsShown_;
    checker_.BalloonShown(id, clock_.Today(), clock_.Ticks());
    onScreen_ = balloon;
    return TRUE;
}

void Shell::RecreateTaskbar() {
    const bool keep = chooser_.Chance(40);
    log_.Note(std::string("the taskbar is re-created") + (inRequest_ ? " inside the request" : "") +
              (keep ? ", keeping the icon" : ", without the icon"));
    iconHeld_ = keep;
    onScreen_.reset();
    if (inRequest_) {
        taskbarRecreatedInRequest_ = true;
    }
}

std::optional<PendingEvent> Shell::TakeEventForRequest() {
    for (auto event = pending_.begin(); event != pending_.end(); ++event) {
        if (event->insideNextRequest) {
            const PendingEvent late = *event;
            pending_.erase(event);
            return late;
        }
    }
    return std::nullopt;
}

std::optional<PendingEvent> Shell::TakeDueEvent(int step) {
    for (auto event = pending_.begin(); event != pending_.end(); ++event) {
        if (!event->insideNextRequest && event->dueStep <= step) {
            const PendingEvent due = *event;
            pending_.erase(event);
            const bool showing = onScreen_ && onScreen_->id == due.balloonId;
            EndOnScreen(due.balloonId);
            log_.Note(std::string(EventName(due.event)) + " for " + Quoted(due.balloonId) +
                      (showing ? "" : ", no longer on screen"));
            return due;
        }
    }
    return std::nullopt;
}

std::optional<PendingEvent> Shell::TakeNextEvent() {
    if (pending_.empty()) {
        return std::nullopt;
    }
    const PendingEvent event = pending_.front();
    pending_.pop_front();
    EndOnScreen(event.balloonId);
    return event;
}

WORD Shell::OldBalloonEvent(WORD end) {
    return chooser_.Chance(50) ? static_cast<WORD>(NIN_BALLOONUSERCLICK) : end;
}

void Shell::ClickedOnScreen() {
    onScreen_.reset();
}

void Shell::HandAddressOver(LPCWSTR address) {
    checker_.Opened(L"shell " + std::wstring(address));
}

void Shell::EndOnScreen(const std::wstring& id) {
    if (onScreen_ && onScreen_->id == id) {
        onScreen_.reset();
    }
}

}  // namespace sim
