#include "world.h"

#include "readable_text.h"

#include "app/startup.h"
#include "app/tray_companion.h"
#include "core/profile_file.h"
#include "tray/context_menu.h"
#include "tray/tray_record.h"
#include "web_host.h"

#include <algorithm>
#include <cwctype>
#include <exception>
#include <sstream>

namespace sim {

namespace {

World* current = nullptr;

constexpr UINT kTaskbarCreatedMessage = 0xC0DE;
constexpr std::int64_t kTicksBeforeBalloonEnds = 31;
constexpr std::int64_t kHeartbeatTolerance = 90;
constexpr std::int64_t kSecondsPerDay = 86400;
const std::wstring kPythonw = L"C:\\py\\pythonw.exe";
const std::wstring kLauncher = L"C:\\app\\launch.py";

std::string Quoted(std::wstring_view text) {
    std::string quoted(1, '"');
    quoted += Narrow(text);
    quoted += '"';
    return quoted;
}

// Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

bool IsScreenName(std::wstring_view screen) {
    return !screen.empty() && screen.size() <= 32 &&
           std::all_of(screen.begin(), screen.end(),
                       [](wchar_t c) { return c >= L'a' && c <= L'z'; });
}

// What a click on a balloon with this target must open: a start of the application on a
// screen, an address handed to the shell, or nothing.
std::wstring ExpectedOpen(const std::wstring& target) {
    if (target.starts_with(L"app:")) {
        const std::wstring screen = target.substr(4);
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

}  // namespace

std::uint32_t Chooser::Below(std::uint32_t n) {
    if (fromSeed_) {
        const auto value = static_cast<std::uint32_t>(random_() % n);
        tape_.push_back(value);
        return value;
    }
    if (next_ < tape_.size()) {
        return tape_[next_++] % n;
    }
    return 0;
}

std::wstring ProfileName(std::wstring_view name) {
    std::size_t begin = 0;
    std::size_t end = name.size();
    while (begin < end && IsProfileBlank(name[begin])) {
        ++begin;
    }
    while (end > begin && IsProfileBlank(name[end - 1])) {
        --end;
    }
    std::wstring folded(name.substr(begin, end - begin));
    for (wchar_t& c : folded) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return folded;
}

std::wstring SeenFileModel::Value(const std::wstring& section, const std::wstring& key) const {
    const auto found = sections.find(ProfileName(section));
    if (found == sections.end()) {
        return L"";
    }
    const auto value = found->second.find(ProfileName(key));
    return value != found->second.end() ? value->second : L"";
}

World& World::Current() {
    return *current;
}

World::World(Chooser chooser, int steps) : chooser_(std::move(chooser)), steps_(steps) {
    // Any time of day, sometimes just before local midnight; local time up to two hours ahead.
    unixNow_ = 1'780'000'000 + chooser_.Below(kSecondsPerDay);
    if (chooser_.Chance(25)) {
        unixNow_ = (unixNow_ / kSecondsPerDay + 1) * kSecondsPerDay - 60;
    }
    localOffset_ = 3600 * static_cast<std::int64_t>(chooser_.Below(3));
    commandLine_ = L"tray.exe --mutex Vestrel.Sim --state \"" + statePath_ + L"\" --seen \"" +
                   seenPath_ + L"\" --pythonw \"" + kPythonw + L"\" --launcher \"" + kLauncher +
                   L"\"";

    const std::uint32_t listed = chooser_.Below(6);
    for (std::uint32_t i = 0; i < listed; ++i) {
        listed_.push_back(MakeNotice());
    }
    // The memory of runs before: some of the listed notices shown, perhaps muted, perhaps a
    // nudge today already.
    switch (chooser_.Below(4)) {
        case 0:
            break;
        case 1:
        case 2:
            seen_.kind = SeenFileModel::Kind::File;
            seen_.byteOrderMark = true;
            for (const ListedNotice& notice : listed_) {
                if (chooser_.Chance(40)) {
                    seen_.sections[L"shown"][ProfileName(notice.id)] = L"1";
                }
            }
            if (chooser_.Chance(30)) {
                seen_.sections[L"prefs"][L"mute_nudges"] = L"1";
            }
            if (chooser_.Chance(30)) {
                seen_.sections[L"prefs"][L"last_nudge_day"] = DayOf(unixNow_);
            }
            break;
        case 3:
            seen_.kind = SeenFileModel::Kind::File;
            seen_.zeroBytes = true;
            break;
    }
    userMute_ = seen_.Value(L"prefs", L"mute_nudges") == L"1";
    muteStoredInFile_ = seen_.kind == SeenFileModel::Kind::File;
    nudgeDayStoredInFile_ = muteStoredInFile_;
    RewriteStateFile();
}

ListedNotice World::MakeNotice() {
    const std::wstring number = std::to_wstring(nextNoticeNumber_++);
    ListedNotice notice;
    switch (chooser_.Below(24)) {
        case 20:
            notice.id = L"n" + number + L"=x";  // "=" cannot stand in a key
            break;
        case 21:
            notice.id = L" n" + number;  // a leading blank would share another key
            break;
        case 22:
            notice.id = L"N" + number;  // capitals: the seen file's keys ignore case
            break;
        case 23:
            notice.id = L"\u00FC" + number;  // outside the ANSI code page of many systems
            break;
        default:
            notice.id = L"n" + number;
            break;
    }
    static const wchar_t* const kKinds[] = {L"info",   L"info",  L"info",  L"info",  L"danger",
                                            L"danger", L"nudge", L"nudge", L"nudge", L"Danger"};
    notice.kind = kKinds[chooser_.Below(10)];
    notice.title = chooser_.Below(12) == 11 ? L"" : L"T:" + notice.id;
    notice.body = chooser_.Chance(20) ? L"" : L"About " + notice.id;
    static const std::wstring kTargets[] = {L"", L"app:news", L"app:Bad1",
                                            std::wstring(kCompanionWebOrigin) + L"/n/" + number,
                                            L"https://elsewhere.example/"};
    notice.target = kTargets[chooser_.Below(5)];
    known_[notice.id] = notice;
    return notice;
}

void World::Note(const std::string& line) {
    log_.push_back("step " + std::to_string(step_) + ": " + line);
}

void World::Fail(const std::string& invariant, const std::string& detail) {
    violations_.push_back(Violation{invariant, detail, step_});
    Note("VIOLATED: " + invariant + " (" + detail + ")");
}

const std::vector<Violation>& World::Run() {
    current = this;
    Note("start: " + std::to_string(listed_.size()) + " notices listed, seen file " +
         (seen_.kind == SeenFileModel::Kind::Missing ? "missing"
          : seen_.zeroBytes                          ? "of zero bytes"
                                                     : "with memory"));
    int exitCode = -1;
    try {
        exitCode = RunTrayCompanion(reinterpret_cast<HINSTANCE>(0x400000));
    } catch (const std::exception& error) {
        Fail("nothing throws", error.what());
    }
    CheckAtEnd(exitCode);
    current = nullptr;
    return violations_;
}

// --- the companion application ---

void World::RewriteStateFile() {
    heartbeat_ = unixNow_;
    ProfileSections sections;
    auto& state = sections[L"state"];
    state[L"written_unix"] = std::to_wstring(heartbeat_);
    state[L"pid"] = std::to_wstring(companionPid_);
    state[L"notices"] = countOverride_.empty() ? std::to_wstring(listed_.size()) : countOverride_;
    state[L"status"] = updateWaiting_ ? L"update_waiting" : L"running";
    state[L"role"] = L"server";
    state[L"label_title"] = L"Vestrel";
    state[L"label_running"] = L"Running";
    state[L"label_stopped"] = L"Stopped";
    state[L"label_update_waiting"] = L"Update";
    state[L"label_open"] = L"Open";
    state[L"label_stop"] = L"Stop";
    state[L"label_mute"] = L"Mute";
    for (std::size_t i = 0; i < listed_.size(); ++i) {
        auto& section = sections[L"notice" + std::to_wstring(i + 1)];
        section[L"id"] = listed_[i].id;
        section[L"kind"] = listed_[i].kind;
        section[L"title"] = listed_[i].title;
        section[L"body"] = listed_[i].body;
        section[L"target"] = listed_[i].target;
    }
    // Keys as the reader finds them: without regard to case, blanks around them dropped.
    stateSections_.clear();
    for (auto& [name, keys] : sections) {
        auto& stored = stateSections_[ProfileName(name)];
        for (auto& [key, value] : keys) {
            stored[ProfileName(key)] = value;
        }
    }
    stateFileExists_ = true;
}

void World::ChangeListedNotices() {
    switch (chooser_.Below(5)) {
        case 0:
            if (listed_.size() < 12) {
                listed_.push_back(MakeNotice());
                Note("the companion lists a new notice " + Quoted(listed_.back().id) + " (" +
                     Narrow(listed_.back().kind) + ")");
            }
            break;
        case 1:
            if (!listed_.empty()) {
                const std::size_t index =
                    chooser_.Below(static_cast<std::uint32_t>(listed_.size()));
                Note("the companion removes " + Quoted(listed_[index].id));
                listed_.erase(listed_.begin() + static_cast<std::ptrdiff_t>(index));
            }
            break;
        case 2:
            if (listed_.size() >= 2) {
                const auto size = static_cast<std::uint32_t>(listed_.size());
                const std::size_t a = chooser_.Below(size);
                const std::size_t b = chooser_.Below(size);
                std::swap(listed_[a], listed_[b]);
                Note("the companion swaps sections " + std::to_string(a + 1) + " and " +
                     std::to_string(b + 1));
            }
            break;
        case 3:
            if (listed_.size() < 12) {
                const std::size_t index =
                    chooser_.Below(static_cast<std::uint32_t>(listed_.size() + 1));
                listed_.insert(listed_.begin() + static_cast<std::ptrdiff_t>(index), MakeNotice());
                Note("the companion lists " + Quoted(listed_[index].id) + " (" +
                     Narrow(listed_[index].kind) + ") in section " + std::to_string(index + 1));
            }
            break;
        case 4: {
            static const wchar_t* const kCounts[] = {L"", L"99", L"-1", L"many"};
            countOverride_ = kCounts[chooser_.Below(4)];
            Note("the companion's notice count reads " +
                 (countOverride_.empty() ? std::string("right") : Quoted(countOverride_)));
            break;
        }
    }
}

bool World::CompanionRuns() const {
    return stateFileExists_ && companionAlive_ && heartbeat_ > 0 &&
           std::abs(unixNow_ - heartbeat_) <= kHeartbeatTolerance;
}

// --- the seen file ---

void World::ForgetSeenMemory(const char* why) {
    Note(std::string("the seen file ") + why + "; what it held is gone");
    if (muteStoredInFile_) {
        userMute_.reset();
    }
    if (nudgeDayStoredInFile_) {
        nudgesShownOnDay_.clear();
    }
    seen_.sections.clear();
}

void World::ChangeSeenFile() {
    using Kind = SeenFileModel::Kind;
    switch (chooser_.Below(8)) {
        case 0:
            seen_.locked = !seen_.locked;
            Note(seen_.locked ? "another program holds the seen file without sharing"
                              : "the other program lets go of the seen file");
            break;
        case 1:
            seen_.readOnly = !seen_.readOnly;
            Note(seen_.readOnly ? "the seen file is made read-only" : "the seen file is writable");
            break;
        case 2:
            seen_.diskFull = !seen_.diskFull;
            Note(seen_.diskFull ? "the disk is full" : "the disk has room again");
            break;
        case 3:
            if (seen_.kind == Kind::Folder) {
                seen_.kind = Kind::Missing;
                Note("the folder at the seen path is removed");
            } else {
                seen_.kind = Kind::Folder;
                ForgetSeenMemory("is replaced by a folder");
            }
            break;
        case 4:
            if (seen_.kind == Kind::File) {
                seen_.zeroBytes = true;
                seen_.byteOrderMark = false;
                ForgetSeenMemory("is cut to zero bytes");
            }
            break;
        case 5:
            if (seen_.kind == Kind::File) {
                seen_.kind = Kind::Missing;
                seen_.zeroBytes = false;
                seen_.byteOrderMark = false;
                ForgetSeenMemory("is deleted");
            }
            break;
        case 6:
            seen_.locked = false;
            seen_.readOnly = false;
            seen_.diskFull = false;
            Note("the seen file can be read and written again");
            break;
        case 7:
            break;
    }
}

// --- the shell ---

void World::RecreateTaskbar(bool inside) {
    const bool keep = chooser_.Chance(40);
    Note(std::string("the taskbar is re-created") + (inside ? " inside the request" : "") +
         (keep ? ", keeping the icon" : ", without the icon"));
    iconHeld_ = keep;
    onScreen_.reset();
    if (inBalloonRequest_) {
        taskbarRecreatedInRequest_ = true;
    }
    Send(kTaskbarCreatedMessage, 0, 0);
}

void World::DeliverEvent(WORD event, const char* how) {
    Note(std::string(EventName(event)) + " " + how);
    Send(kTrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId));
}

void World::DeliverTick(const char* how) {
    unixNow_ += 10;
    Note(std::string("tick ") + how);
    Send(WM_TIMER, kRefreshTimerId, 0);
}

// Sent messages that the world delivers while the program waits inside a call.
void World::Nested(const char* where) {
    switch (chooser_.Below(5)) {
        case 0:
            break;
        case 1:
            if (!pending_.empty()) {
                const PendingEvent event = pending_.front();
                pending_.pop_front();
                if (onScreen_ && onScreen_->id == event.balloonId) {
                    onScreen_->endDelivered = true;
                    onScreen_.reset();
                }
                DeliverEvent(event.event, where);
            }
            break;
        case 2:
            DeliverTick(where);
            break;
        case 3:
            RecreateTaskbar(inBalloonRequest_);
            break;
        case 4:
            DeliverEvent(
                static_cast<WORD>(chooser_.Chance(50) ? NIN_BALLOONUSERCLICK : NIN_BALLOONTIMEOUT),
                (std::string("of an old balloon, ") + where).c_str());
            break;
    }
}

BOOL World::NotifyIcon(DWORD message, const NOTIFYICONDATAW* data) {
    switch (message) {
        case NIM_ADD:
            if (iconHeld_) {
                return FALSE;  // the shell holds it already
            }
            if (chooser_.Chance(5)) {
                Note("the shell refuses the icon");
                return FALSE;
            }
            iconHeld_ = true;
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
            break;
        default:
            return FALSE;
    }
    if ((data->uFlags & NIF_INFO) == 0) {
        return iconHeld_ ? TRUE : FALSE;
    }

    const std::wstring id = IdOfTitle(data->szInfoTitle);
    CheckBalloonRequest(id);
    requestSinceLastTick_ = true;
    if (!iconHeld_) {
        Note("balloon " + Quoted(id) + " asked for without an icon: refused");
        return FALSE;
    }
    const bool refused = chooser_.Chance(10);
    inBalloonRequest_ = true;
    taskbarRecreatedInRequest_ = false;
    // Ends that the shell keeps for the next request, then whatever else it sends meanwhile.
    for (auto event = pending_.begin(); event != pending_.end();) {
        if (event->insideNextRequest) {
            const PendingEvent late = *event;
            event = pending_.erase(event);
            DeliverEvent(late.event, "inside the next request");
        } else {
            ++event;
        }
    }
    if (chooser_.Chance(20)) {
        Nested("inside the request");
    }
    inBalloonRequest_ = false;
    if (refused) {
        Note("the shell refuses balloon " + Quoted(id));
        return FALSE;
    }
    if (taskbarRecreatedInRequest_) {
        Note("the shell takes balloon " + Quoted(id) + ", but the new taskbar never shows it");
        return TRUE;
    }

    // On screen. What the shell or the user does about it comes later.
    Balloon balloon;
    balloon.id = id;
    balloon.nudge = false;
    if (const auto known = known_.find(id); known != known_.end()) {
        balloon.target = known->second.target;
        balloon.nudge = known->second.kind == L"nudge";
    }
    balloon.acceptedAtTick = ticks_;
    balloon.end = static_cast<BalloonEnd>(chooser_.Below(6));
    switch (balloon.end) {
        case BalloonEnd::AtOnce:
            pending_.push_back({NIN_BALLOONTIMEOUT, step_ + 1, false, id});
            break;
        case BalloonEnd::Later:
            pending_.push_back(
                {static_cast<WORD>(chooser_.Chance(50) ? NIN_BALLOONHIDE : NIN_BALLOONTIMEOUT),
                 step_ + 1 + static_cast<int>(chooser_.Below(40)), false, id});
            break;
        case BalloonEnd::Twice:
            pending_.push_back({NIN_BALLOONTIMEOUT, step_ + 1, false, id});
            pending_.push_back(
                {NIN_BALLOONTIMEOUT, step_ + 2 + static_cast<int>(chooser_.Below(10)), false, id});
            break;
        case BalloonEnd::Never:
            break;
        case BalloonEnd::Clicked:
            pending_.push_back({NIN_BALLOONUSERCLICK,
                                step_ + 1 + static_cast<int>(chooser_.Below(10)), false, id});
            break;
        case BalloonEnd::InsideNextRequest:
            pending_.push_back({NIN_BALLOONTIMEOUT, 0, true, id});
            break;
    }
    static const char* const kEnds[] = {"ends at once",    "ends later",
                                        "ends twice",      "never reports its end",
                                        "will be clicked", "ends inside the next request"};
    Note("balloon " + Quoted(id) + " on screen; it " + kEnds[static_cast<int>(balloon.end)]);

    // What the invariants hold the program to.
    ++balloonsShown_;
    if (!shownThisRun_.insert(id).second) {
        Fail("no notice is shown twice in a run", Quoted(id) + " again");
    }
    if (balloon.nudge) {
        const std::wstring day = DayOf(unixNow_);
        if (++nudgesShownOnDay_[day] > 1) {
            Fail("at most one nudge is shown a day", Quoted(id) + " is nudge number " +
                                                         std::to_string(nudgesShownOnDay_[day]) +
                                                         " on " + Narrow(day));
        }
    }
    onScreen_ = balloon;
    lastDisplayed_ = balloon;
    anyAccepted_ = true;
    endsAtAccept_ = endsDelivered_;
    taskbarsAtAccept_ = taskbarsDelivered_;
    ticksAtAccept_ = ticks_;
    return TRUE;
}

std::wstring World::IdOfTitle(std::wstring_view title) const {
    return title.starts_with(L"T:") ? std::wstring(title.substr(2)) : L"?" + std::wstring(title);
}

// --- the window and its messages ---

LRESULT World::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    if (windowProc_ == nullptr || windowGone_) {
        return 0;
    }
    const WORD event = LOWORD(lParam);
    const bool trayEvent = message == kTrayCallbackMessage;
    if (trayEvent && IsBalloonEnd(event)) {
        ++endsDelivered_;
    } else if (message == WM_TIMER) {
        ++ticks_;
    } else if (message == kTaskbarCreatedMessage) {
        ++taskbarsDelivered_;
    }
    const bool click = trayEvent && event == NIN_BALLOONUSERCLICK;
    const bool savedInClick = inClick_;
    const std::wstring savedExpected = expectedOpen_;
    const std::vector<std::wstring> savedOpened = opened_;
    if (click) {
        inClick_ = true;
        expectedOpen_ = lastDisplayed_ ? ExpectedOpen(lastDisplayed_->target) : L"";
        opened_.clear();
    }

    const LRESULT result = windowProc_(window_, message, wParam, lParam);

    if (click) {
        if (!expectedOpen_.empty() && opened_.empty()) {
            Fail("a click opens the target of the last balloon on screen, or nothing",
                 "nothing opened for " + Narrow(expectedOpen_));
        }
        inClick_ = savedInClick;
        expectedOpen_ = savedExpected;
        opened_ = savedOpened;
    }
    if (trayEvent && IsMenuEvent(event)) {
        inMenuCommand_ = false;
        menuCommand_ = 0;
    }
    return result;
}

BOOL World::NextStep(LPMSG msg) {
    *msg = MSG{};
    if (quitPosted_) {
        msg->message = WM_QUIT;
        return FALSE;
    }
    if (windowGone_) {
        Fail("the message loop ends when the window is destroyed", "no quit was posted");
        msg->message = WM_QUIT;
        return FALSE;
    }
    CheckBetweenSteps();
    if (!posted_.empty()) {
        *msg = posted_.front();
        posted_.pop_front();
        return TRUE;
    }
    if (step_ >= steps_) {
        Note("the window is destroyed from outside");
        msg->hwnd = window_;
        msg->message = WM_DESTROY;
        return TRUE;
    }
    ++step_;
    ActBeforeMessage();
    *msg = NextMessage();
    return TRUE;
}

LRESULT World::Dispatch(const MSG* msg) {
    if (msg->hwnd != window_ || windowGone_) {
        return 0;
    }
    const bool tick = msg->message == WM_TIMER;
    if (tick) {
        unixNow_ += 10;
        Note("tick");
    }
    const LRESULT result = Send(msg->message, msg->wParam, msg->lParam);
    if (msg->message == WM_DESTROY) {
        Send(WM_NCDESTROY, 0, 0);
        windowGone_ = true;
    }
    if (tick) {
        // A notice that is due must not wait behind a balloon that is not there.
        const bool balloonUp = onScreen_ && !onScreen_->endDelivered &&
                               ticks_ - onScreen_->acceptedAtTick < kTicksBeforeBalloonEnds;
        const TrayCompanion* program = Program();
        const bool waiting = program != nullptr && !program->Notices().Queue().empty();
        if (waiting && !balloonUp && iconHeld_ && CompanionRuns() && seen_.CanBeRead() &&
            !requestSinceLastTick_) {
            if (++ticksWaitingWithNothingOnScreen_ >= 2) {
                Fail("a queued notice waits no more than one tick while no balloon is on screen",
                     std::to_string(ticksWaitingWithNothingOnScreen_) +
                         " ticks with nothing requested");
            }
        } else {
            ticksWaitingWithNothingOnScreen_ = 0;
        }
        requestSinceLastTick_ = false;
    }
    return result;
}

void World::ActBeforeMessage() {
    // The companion keeps its heartbeat every fifteen seconds while it lives.
    if (companionAlive_ && unixNow_ - heartbeat_ >= 15) {
        RewriteStateFile();
    }
    if (chooser_.Chance(15)) {
        ChangeListedNotices();
        if (companionAlive_) {
            RewriteStateFile();
        }
    }
    if (companionAlive_ && chooser_.Chance(2)) {
        companionAlive_ = false;
        Note("the companion application ends");
    } else if (!companionAlive_ && chooser_.Chance(10)) {
        companionAlive_ = true;
        Note("the companion application starts again under the same process id");
        RewriteStateFile();
    }
    if (chooser_.Chance(3)) {
        updateWaiting_ = !updateWaiting_;
        RewriteStateFile();
    }
    if (chooser_.Chance(6)) {
        ChangeSeenFile();
    }
    if (chooser_.Chance(3)) {
        const std::int64_t local = unixNow_ + localOffset_;
        switch (chooser_.Below(4)) {
            case 0:
                unixNow_ =
                    (FloorDiv(local, kSecondsPerDay) + 1) * kSecondsPerDay - 15 - localOffset_;
                Note("the clock stands just before midnight");
                break;
            case 1:
                unixNow_ += kSecondsPerDay;
                Note("the clock jumps a day ahead");
                break;
            case 2:
                unixNow_ -= 3600;
                nudgesShownOnDay_.clear();
                Note("the clock goes back an hour");
                break;
            case 3:
                unixNow_ -= kSecondsPerDay;
                nudgesShownOnDay_.clear();
                Note("the clock goes back a day");
                break;
        }
    }
    if (chooser_.Chance(2)) {
        RecreateTaskbar(false);
    }
}

MSG World::NextMessage() {
    MSG msg{};
    msg.hwnd = window_;
    for (auto event = pending_.begin(); event != pending_.end(); ++event) {
        if (!event->insideNextRequest && event->dueStep <= step_) {
            const PendingEvent due = *event;
            pending_.erase(event);
            if (onScreen_ && onScreen_->id == due.balloonId) {
                onScreen_->endDelivered = true;
                onScreen_.reset();
                Note(std::string(EventName(due.event)) + " for " + Quoted(due.balloonId));
            } else {
                Note(std::string(EventName(due.event)) + " for " + Quoted(due.balloonId) +
                     ", no longer on screen");
            }
            msg.message = kTrayCallbackMessage;
            msg.lParam = MAKELPARAM(due.event, kTrayIconId);
            return msg;
        }
    }
    const std::uint32_t choice = chooser_.Below(100);
    if (choice < 70) {
        msg.message = WM_TIMER;
        msg.wParam = kRefreshTimerId;
    } else if (choice < 80) {
        static const WORD kMenuEvents[] = {WM_CONTEXTMENU, NIN_SELECT, NIN_KEYSELECT};
        const WORD event = kMenuEvents[chooser_.Below(3)];
        Note(std::string("the user: ") + EventName(event));
        msg.message = kTrayCallbackMessage;
        msg.lParam = MAKELPARAM(event, kTrayIconId);
    } else if (choice < 88 && onScreen_) {
        Note("the user clicks balloon " + Quoted(onScreen_->id));
        onScreen_->endDelivered = true;
        onScreen_.reset();
        msg.message = kTrayCallbackMessage;
        msg.lParam = MAKELPARAM(NIN_BALLOONUSERCLICK, kTrayIconId);
    } else if (choice < 92) {
        // A notification clicked long after its balloon, or an end the shell repeats.
        const WORD event = chooser_.Chance(50) ? NIN_BALLOONUSERCLICK : NIN_BALLOONHIDE;
        Note(std::string(EventName(event)) + " of an old balloon");
        msg.message = kTrayCallbackMessage;
        msg.lParam = MAKELPARAM(event, kTrayIconId);
    } else if (choice < 96) {
        msg.message = WM_SETTINGCHANGE;
    } else {
        msg.message = WM_TIMER;
        msg.wParam = 7;  // a timer of another id still counts as a tick
    }
    return msg;
}

void World::PostQuit() {
    quitPosted_ = true;
}

void World::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    posted_.push_back(msg);
}

LPWSTR World::CommandLine() {
    return commandLine_.data();
}

HANDLE World::OpenHandle(const std::string& what) {
    const auto handle = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    openHandles_.insert(handle);
    handleNames_[handle] = what;
    return handle;
}

bool World::CloseOpenHandle(HANDLE handle) {
    if (openHandles_.erase(handle) == 0) {
        Fail("every handle is closed once", "a handle closed that is not open");
        return false;
    }
    fileHandles_.erase(handle);
    return true;
}

ATOM World::TakeWindowClass(const WNDCLASSW* windowClass) {
    windowProc_ = windowClass->lpfnWndProc;
    return 1;
}

HWND World::MakeWindow(LPVOID param) {
    window_ = reinterpret_cast<HWND>(0x7E000100);
    CREATESTRUCTW creation{};
    creation.lpCreateParams = param;
    windowProc_(window_, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&creation));
    windowProc_(window_, WM_CREATE, 0, reinterpret_cast<LPARAM>(&creation));
    return window_;
}

LONG_PTR World::SetUserData(HWND, LONG_PTR value) {
    return std::exchange(userData_, value);
}

LONG_PTR World::UserData(HWND) const {
    return userData_;
}

const ::TrayCompanion* World::Program() const {
    return reinterpret_cast<const TrayCompanion*>(userData_);
}

// --- menus ---

HMENU World::MakeMenu() {
    menuItems_.clear();
    return static_cast<HMENU>(OpenHandle("menu"));
}

void World::AddMenuItem(UINT flags, UINT_PTR id, LPCWSTR) {
    menuItems_.emplace_back(id, flags);
    if (id == kMenuMute && userMute_ && (programKnowsMute_ || seen_.CanBeRead())) {
        const bool checked = (flags & MF_CHECKED) != 0;
        if (checked != *userMute_) {
            Fail("the menu's check mark shows whether the user muted nudges",
                 std::string(checked ? "checked" : "not checked") + " after the user chose " +
                     (*userMute_ ? "mute" : "not to mute"));
        }
    }
}

BOOL World::TrackMenu() {
    if (chooser_.Chance(10)) {
        Nested("while the menu is open");
    }
    std::vector<UINT_PTR> commands;
    for (const auto& [id, flags] : menuItems_) {
        if (id != 0) {
            commands.push_back(id);
        }
    }
    const std::uint32_t choice = chooser_.Below(static_cast<std::uint32_t>(commands.size() + 1));
    if (choice == 0) {
        Note("the user closes the menu");
        return 0;
    }
    menuCommand_ = commands[choice - 1];
    inMenuCommand_ = true;
    static const char* const kNames[] = {"open", "stop", "mute"};
    Note(std::string("the user chooses ") + (menuCommand_ >= kMenuOpen && menuCommand_ <= kMenuMute
                                                 ? kNames[menuCommand_ - kMenuOpen]
                                                 : "an unknown command"));
    return static_cast<BOOL>(menuCommand_);
}

BOOL World::EndMenu(HMENU menu) {
    return CloseOpenHandle(menu) ? TRUE : FALSE;
}

// --- files ---

DWORD World::ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                         DWORD size, LPCWSTR path) {
    std::wstring value = defaultValue != nullptr ? defaultValue : L"";
    const std::wstring wanted = ProfileName(key);
    if (path == statePath_) {
        if (stateFileExists_ && wanted.find(L'=') == std::wstring::npos) {
            const auto found = stateSections_.find(ProfileName(section));
            if (found != stateSections_.end()) {
                const auto entry = found->second.find(wanted);
                if (entry != found->second.end()) {
                    value = entry->second;
                }
            }
        }
    } else if (path == seenPath_) {
        // What the program can know of the memory of runs before: only what it read.
        if (seen_.CanBeRead() && ProfileName(section) == L"prefs") {
            if (wanted == L"mute_nudges") {
                programKnowsMute_ = true;
            } else if (wanted == L"last_nudge_day" && !programKnowsNudgeDay_) {
                programKnowsNudgeDay_ = true;
                const std::wstring day = seen_.Value(L"prefs", L"last_nudge_day");
                if (!day.empty() && nudgesShownOnDay_[day] == 0) {
                    nudgesShownOnDay_[day] = 1;
                }
            }
        }
        if (seen_.CanBeRead() && !seen_.zeroBytes && wanted.find(L'=') == std::wstring::npos) {
            const auto found = seen_.sections.find(ProfileName(section));
            if (found != seen_.sections.end()) {
                const auto entry = found->second.find(wanted);
                if (entry != found->second.end()) {
                    value = entry->second;
                }
            }
        }
    } else {
        Fail("the program reads only its two files", "a read of " + Narrow(path));
    }
    const std::size_t length = std::min<std::size_t>(value.size(), size - 1);
    std::copy_n(value.data(), length, buffer);
    buffer[length] = L'\0';

    // The companion may rewrite its file between any two reads, though not twice while one
    // notice's six values are read: a section that changes and changes back between the two
    // reads of its id is beyond what those reads can tell (docs/reliability.md).
    ++readsSinceRewrite_;
    if (path == statePath_ && readsSinceRewrite_ > 6 && chooser_.Chance(3)) {
        readsSinceRewrite_ = 0;
        Note("the companion rewrites the state file between two reads");
        ChangeListedNotices();
        RewriteStateFile();
    }
    return static_cast<DWORD>(length);
}

BOOL World::WriteProfile(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    if (path != seenPath_) {
        Fail("the program writes only its seen file", "a write to " + Narrow(path));
        return FALSE;
    }
    const std::wstring sectionName = ProfileName(section);
    const std::wstring keyName = ProfileName(key);
    const bool mute = sectionName == L"prefs" && keyName == L"mute_nudges";
    const bool day = sectionName == L"prefs" && keyName == L"last_nudge_day";
    if (mute) {
        // What waits in the queue was queued before this choice.
        ObserveQueue(nullptr);
        userMute_ = std::wstring(value) == L"1";
        programKnowsMute_ = true;
    }
    if (day) {
        programKnowsNudgeDay_ = true;
    }
    const bool stored = seen_.kind != SeenFileModel::Kind::Folder && !seen_.locked &&
                        !seen_.readOnly && !seen_.diskFull;
    if (mute) {
        muteStoredInFile_ = stored;
    }
    if (day) {
        nudgeDayStoredInFile_ = stored;
    }
    if (!stored) {
        Note("a write of [" + Narrow(section) + "] " + Narrow(key) +
             " does not reach the seen file");
        return FALSE;
    }
    if (seen_.kind == SeenFileModel::Kind::Missing || seen_.zeroBytes) {
        // The profile writer makes or fills such a file in the ANSI code page.
        seen_.kind = SeenFileModel::Kind::File;
        seen_.zeroBytes = false;
        seen_.byteOrderMark = false;
    }
    const auto ansi = [this](std::wstring text) {
        if (!seen_.byteOrderMark) {
            for (wchar_t& c : text) {
                if (c > 0x7F) {
                    c = L'?';
                }
            }
        }
        return text;
    };
    seen_.sections[ansi(sectionName)][ansi(keyName)] = ansi(value);
    return TRUE;
}

DWORD World::FileAttributes(LPCWSTR path) const {
    if (path == statePath_) {
        return stateFileExists_ ? FILE_ATTRIBUTE_NORMAL : INVALID_FILE_ATTRIBUTES;
    }
    if (path == seenPath_) {
        switch (seen_.kind) {
            case SeenFileModel::Kind::Missing:
                return INVALID_FILE_ATTRIBUTES;
            case SeenFileModel::Kind::Folder:
                return FILE_ATTRIBUTE_DIRECTORY;
            case SeenFileModel::Kind::File:
                return seen_.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
        }
    }
    return INVALID_FILE_ATTRIBUTES;
}

BOOL World::FileAttributesEx(LPCWSTR path, LPVOID information) const {
    const DWORD attributes = FileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FALSE;
    }
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    *data = WIN32_FILE_ATTRIBUTE_DATA{};
    data->dwFileAttributes = attributes;
    data->nFileSizeLow = path == seenPath_ && seen_.zeroBytes ? 0 : 100;
    return TRUE;
}

HANDLE World::OpenFileOf(LPCWSTR path, DWORD access, DWORD, DWORD disposition) {
    using Kind = SeenFileModel::Kind;
    if (path != seenPath_) {
        Fail("the program opens only its seen file", "an open of " + Narrow(path));
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW) {
        if (seen_.kind != Kind::Missing || seen_.diskFull) {
            return INVALID_HANDLE_VALUE;
        }
        seen_.kind = Kind::File;
        seen_.zeroBytes = true;
        seen_.byteOrderMark = false;
        seen_.sections.clear();
    } else if (seen_.kind != Kind::File || seen_.locked ||
               ((access & GENERIC_WRITE) != 0 && seen_.readOnly)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = OpenHandle("the seen file");
    fileHandles_[handle] = path;
    return handle;
}

BOOL World::WriteToFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written) {
    if (fileHandles_.count(file) == 0 || seen_.diskFull) {
        return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(buffer);
    if (size == 2 && bytes[0] == 0xFF && bytes[1] == 0xFE && seen_.zeroBytes) {
        seen_.zeroBytes = false;
        seen_.byteOrderMark = true;
    }
    if (written != nullptr) {
        *written = size;
    }
    return TRUE;
}

BOOL World::FileSize(HANDLE file, PLARGE_INTEGER size) const {
    if (fileHandles_.count(file) == 0) {
        return FALSE;
    }
    size->QuadPart = seen_.zeroBytes ? 0 : 100;
    return TRUE;
}

// --- processes, COM and the clock ---

HRESULT World::StartCom() {
    ++comStarts_;
    return S_OK;
}

void World::EndCom() {
    ++comEnds_;
}

HANDLE World::OpenCompanionProcess(DWORD processId) {
    if (processId != companionPid_ || !companionAlive_) {
        return nullptr;
    }
    return OpenHandle("the companion's process");
}

BOOL World::ExitCode(HANDLE, LPDWORD exitCode) const {
    *exitCode = STILL_ACTIVE;
    return TRUE;
}

BOOL World::StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info) {
    const std::wstring line = commandLine;
    const std::wstring prefix = L"\"" + kPythonw + L"\" -I \"" + kLauncher + L"\"";
    CheckOpened(line.starts_with(prefix) ? L"launch" + line.substr(prefix.size())
                                         : L"launch of " + line);
    info->hProcess = OpenHandle("a started process");
    info->hThread = OpenHandle("a started thread");
    info->dwProcessId = 5000;
    info->dwThreadId = 5001;
    return TRUE;
}

void World::HandToShell(LPCWSTR file) {
    if (chooser_.Chance(10)) {
        Nested("while the shell hands the address over");
    }
    CheckOpened(L"shell " + std::wstring(file));
}

void World::LocalTime(LPSYSTEMTIME time) const {
    const std::int64_t local = unixNow_ + localOffset_;
    const std::int64_t days = FloorDiv(local, kSecondsPerDay);
    const std::int64_t seconds = local - days * kSecondsPerDay;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    *time = SYSTEMTIME{};
    time->wYear = static_cast<WORD>(year);
    time->wMonth = static_cast<WORD>(month);
    time->wDay = static_cast<WORD>(day);
    time->wHour = static_cast<WORD>(seconds / 3600);
    time->wMinute = static_cast<WORD>((seconds / 60) % 60);
    time->wSecond = static_cast<WORD>(seconds % 60);
}

std::wstring World::DayOf(std::int64_t unixTime) const {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(FloorDiv(unixTime + localOffset_, kSecondsPerDay), year, month, day);
    wchar_t stamp[16] = {};
    std::swprintf(stamp, std::size(stamp), L"%04d%02u%02u", year, month, day);
    return stamp;
}

// --- the invariants ---

void World::CheckOpened(const std::wstring& what) {
    Note("the program opens " + Narrow(what));
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

void World::CheckBalloonRequest(const std::wstring& id) {
    ObserveQueue(&id);
    if (inBalloonRequest_) {
        Fail("never two balloons requested without an end between them",
             Quoted(id) + " requested inside another balloon's request");
        return;
    }
    if (anyAccepted_ && endsDelivered_ == endsAtAccept_ &&
        taskbarsDelivered_ == taskbarsAtAccept_ &&
        ticks_ - ticksAtAccept_ < kTicksBeforeBalloonEnds) {
        Fail("never two balloons requested without an end between them",
             Quoted(id) + " requested " + std::to_string(ticks_ - ticksAtAccept_) +
                 " ticks after the last balloon, no end reported");
    }
}

void World::CheckBetweenSteps() {
    ObserveQueue(nullptr);
}

// The queue as a reference model sees it: notices leave it only from the front, for their
// balloon; a pass adds "danger" notices at the front and the others at the back, and keeps the
// order of those already waiting. Each notice newly queued must be one the program may queue.
void World::ObserveQueue(const std::wstring* requested) {
    const TrayCompanion* program = Program();
    if (program == nullptr) {
        return;
    }
    std::vector<std::wstring> now;
    if (requested != nullptr) {
        now.push_back(*requested);
    }
    for (const Notice& notice : program->Notices().Queue()) {
        now.push_back(notice.id);
    }
    std::vector<std::wstring> kept;
    for (const std::wstring& id : now) {
        if (std::find(modelQueue_.begin(), modelQueue_.end(), id) != modelQueue_.end()) {
            kept.push_back(id);
        }
    }
    if (kept != modelQueue_) {
        Fail("a notice leaves the queue only for its balloon, and the waiting keep their order",
             "the queue lost or reordered what waited");
    }
    // New notices: "danger" before everything that waited, the others after it.
    std::size_t keptSeen = 0;
    std::set<std::wstring> ids;
    for (const std::wstring& id : now) {
        if (!ids.insert(id).second) {
            Fail("no notice stands in the queue twice", Quoted(id));
        }
        const bool wasWaiting =
            std::find(modelQueue_.begin(), modelQueue_.end(), id) != modelQueue_.end();
        if (wasWaiting) {
            ++keptSeen;
            continue;
        }
        const auto known = known_.find(id);
        if (known == known_.end()) {
            Fail("only listed notices are queued", Quoted(id));
            continue;
        }
        const ListedNotice& notice = known->second;
        const bool danger = notice.kind == L"danger";
        const bool atFront = keptSeen == 0;
        if (!kept.empty() && danger != atFront) {
            Fail("\"danger\" notices queue before all others and the rest after them",
                 Quoted(id) + " (" + Narrow(notice.kind) + ") queued " +
                     (atFront ? "in front of" : "behind") + " the waiting notices");
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
    modelQueue_.clear();
    for (std::size_t i = requested != nullptr ? 1 : 0; i < now.size(); ++i) {
        modelQueue_.push_back(now[i]);
    }
}

void World::CheckAtEnd(int exitCode) {
    if (exitCode != 0) {
        Fail("the program ends with exit code 0 when its window is destroyed",
             "exit code " + std::to_string(exitCode));
    }
    for (HANDLE handle : openHandles_) {
        Fail("every handle the program opened is closed at the end", handleNames_[handle]);
    }
    if (comStarts_ != comEnds_) {
        Fail("COM started for the shell is ended once",
             std::to_string(comStarts_) + " starts, " + std::to_string(comEnds_) + " ends");
    }
    if (iconHeld_ && step_ >= steps_) {
        Fail("the icon leaves with the window", "the shell still holds it");
    }
}

}  // namespace sim
