#include "notices/notice_queue.h"

#include "companion/app_status.h"
#include "companion/state_file.h"
#include "core/profile_file.h"
#include "core/startup_options.h"
#include "memory/seen_file.h"
#include "notices/balloon.h"
#include "notices/notice.h"

#include <algorithm>
#include <optional>

namespace {

// A pass reads at most this many notice sections.
constexpr std::int32_t kMaxNoticeSections = 50;

bool IsQueuedOrShowing(const std::wstring& id) {
    if (requestedNoticeId == id || (balloonShowing && currentNotice.id == id)) {
        return true;
    }
    return std::any_of(NoticeQueue.begin(), NoticeQueue.end(),
                       [&id](const Notice& queued) { return queued.id == id; });
}

// The five values of a notice section, each read by a call of its own. A companion that rewrites
// the file in the middle may move another notice into the section: the id is read once more
// after the others, and a notice whose id changed meanwhile is not taken (nothing), since its
// texts may be another notice's. It waits for the next pass.
std::optional<Notice> ReadNotice(const std::wstring& section) {
    const std::wstring& statePath = startupOptions.statePath;
    Notice notice;
    notice.id = ReadProfileValue(statePath, section, L"id");
    notice.kind = ReadProfileValue(statePath, section, L"kind");
    notice.target = ReadProfileValue(statePath, section, L"target");
    notice.title = ReadProfileValue(statePath, section, L"title");
    notice.body = ReadProfileValue(statePath, section, L"body");
    if (ReadProfileValue(statePath, section, L"id") != notice.id) {
        return std::nullopt;
    }
    return notice;
}

// A seen file held open by another program reads as empty, so every notice already shown would
// come back: such a pass waits. But a seen file that stays locked must not hold notices back for
// good; after this many passes they are shown, each once in this run.
constexpr int kUnreadableSeenPassesToWait = 30;

bool ShouldWaitForSeenFile() {
    if (CanReadSeenFile()) {
        unreadableSeenPasses = 0;
        return false;
    }
    if (unreadableSeenPasses < kUnreadableSeenPassesToWait) {
        ++unreadableSeenPasses;
        return true;
    }
    return false;
}

}  // namespace

void PollNotices() {
    if (EvaluateAppStatus() == kStatusStopped) {
        return;
    }
    if (ShouldWaitForSeenFile()) {
        return;
    }

    const std::int32_t count = ParseInt32(ReadStateValue(L"notices"));
    const std::wstring today = TodayStamp();
    bool nudgedToday = ReadSeenValue(L"prefs", L"last_nudge_day") == today;

    // The order of the tests decides what a skipped notice costs: a nudge that is incomplete,
    // already shown or a duplicate does not use up the one nudge of the pass.
    for (std::int32_t index = 1; index <= std::min(count, kMaxNoticeSections); ++index) {
        std::optional<Notice> read = ReadNotice(L"notice" + std::to_wstring(index));
        if (!read) {
            continue;
        }
        Notice& notice = *read;
        if (notice.id.empty() || notice.title.empty() || !IsStorableNoticeId(notice.id)) {
            continue;
        }
        if (ReadSeenValue(L"shown", notice.id) == L"1" || noticesShownThisRun.contains(notice.id)) {
            continue;
        }
        if (notice.kind != kKindDanger && notice.kind != kKindInfo && notice.kind != kKindNudge) {
            continue;
        }
        if (IsQueuedOrShowing(notice.id)) {
            continue;
        }
        if (notice.kind == kKindNudge) {
            if (IsNudgeMuted() || nudgedToday) {
                continue;
            }
            nudgedToday = true;
        }
        if (notice.kind == kKindDanger) {
            NoticeQueue.push_front(std::move(notice));
        } else {
            NoticeQueue.push_back(std::move(notice));
        }
    }

    ShowNextNotice();
}
