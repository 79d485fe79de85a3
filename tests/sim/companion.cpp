#include "companion.h"

#include "chooser.h"
#include "clock.h"
#include "files.h"
#include "handles.h"
#include "run_log.h"

#include "companion/app_status.h"
#include "web_host.h"

#include <cstdlib>

namespace sim {

std::wstring IdOfTitle(std::wstring_view title) {
    return title.starts_with(L"T:") ? std::wstring(title.substr(2)) : L"?" + std::wstring(title);
}

void Companion::ListAtStart() {
    const std::uint32_t listed = chooser_.Below(6);
    for (std::uint32_t i = 0; i < listed; ++i) {
        listed_.push_back(MakeNotice());
    }
}

ListedNotice Companion::MakeNotice() {
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
    // Each notice's address of its own (a static table here once gave every notice the first
    // one's).
    const std::wstring targets[] = {L"", L"app:news", L"app:Bad1",
                                    std::wstring(kCompanionWebOrigin) + L"/n/" + number,
                                    L"https://elsewhere.example/"};
    notice.target = targets[chooser_.Below(5)];
    known_[notice.id] = notice;
    return notice;
}

void Companion::RewriteStateFile() {
    ++rewrites_;
    heartbeat_ = clock_.Now();
    ProfileSections sections;
    auto& state = sections[L"state"];
    state[L"written_unix"] = std::to_wstring(heartbeat_);
    state[L"pid"] = std::to_wstring(pid_);
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
    files_.WriteStateFile(sections);
}

void Companion::Act() {
    if (alive_ && clock_.Now() - heartbeat_ >= 15) {
        RewriteStateFile();
    }
    if (chooser_.Chance(15)) {
        ChangeListedNotices();
        if (alive_) {
            RewriteStateFile();
        }
    }
    if (alive_ && chooser_.Chance(2)) {
        alive_ = false;
        log_.Note("the companion application ends");
    } else if (!alive_ && chooser_.Chance(10)) {
        alive_ = true;
        log_.Note("the companion application starts again under the same process id");
        RewriteStateFile();
    }
    if (chooser_.Chance(3)) {
        updateWaiting_ = !updateWaiting_;
        RewriteStateFile();
    }
}

void Companion::AfterRead(bool ofStateFile) {
    ++readsSinceRewrite_;
    if (ofStateFile && readsSinceRewrite_ > 6 && chooser_.Chance(3)) {
        readsSinceRewrite_ = 0;
        log_.Note("the companion rewrites the state file between two reads");
        ChangeListedNotices();
        RewriteStateFile();
    }
}

void Companion::ChangeListedNotices() {
    switch (chooser_.Below(5)) {
        case 0:
            if (listed_.size() < 12) {
                listed_.push_back(MakeNotice());
                log_.Note("the companion lists a new notice " + Quoted(listed_.back().id) + " (" +
                          Narrow(listed_.back().kind) + ")");
            }
            break;
        case 1:
            if (!listed_.empty()) {
                const std::size_t index =
                    chooser_.Below(static_cast<std::uint32_t>(listed_.size()));
                log_.Note("the companion removes " + Quoted(listed_[index].id));
                listed_.erase(listed_.begin() + static_cast<std::ptrdiff_t>(index));
            }
            break;
        case 2:
            if (listed_.size() >= 2) {
                const auto size = static_cast<std::uint32_t>(listed_.size());
                const std::size_t a = chooser_.Below(size);
                const std::size_t b = chooser_.Below(size);
                std::swap(listed_[a], listed_[b]);
                log_.Note("the companion swaps sections " + std::to_string(a + 1) + " and " +
                          std::to_string(b + 1));
            }
            break;
        case 3:
            if (listed_.size() < 12) {
                const std::size_t index =
                    chooser_.Below(static_cast<std::uint32_t>(listed_.size() + 1));
                listed_.insert(listed_.begin() + static_cast<std::ptrdiff_t>(index), MakeNotice());
                log_.Note("the companion lists " + Quoted(listed_[index].id) + " (" +
                          Narrow(listed_[index].kind) + ") in section " +
                          std::to_string(index + 1));
            }
            break;
        case 4: {
            static const wchar_t* const kCounts[] = {L"", L"99", L"-1", L"many"};
            countOverride_ = kCounts[chooser_.Below(4)];
            log_.Note("the companion's notice count reads " +
                      (countOverride_.empty() ? std::string("right") : Quoted(countOverride_)));
            break;
        }
    }
}

bool Companion::Runs() const {
    return files_.StateFileExists() && alive_ && heartbeat_ > 0 &&
           std::abs(clock_.Now() - heartbeat_) <= kHeartbeatToleranceSeconds;
}

HANDLE Companion::OpenProcess(DWORD processId) {
    if (processId != pid_ || !alive_) {
        return nullptr;
    }
    return handles_.Open("the companion's process");
}

BOOL Companion::ExitCode(HANDLE, LPDWORD exitCode) const {
    *exitCode = STILL_ACTIVE;
    return TRUE;
}

}  // namespace sim
