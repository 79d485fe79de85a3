#include "notices/notice_queue.h"

#include "companion/app_status.h"
#include "companion/state_file.h"
#include "core/profile_file.h"
#include "core/startup_options.h"
#include "memory/seen_file.h"
#include "notices/balloon.h"
#include "notices/notice.h"

#include <algorithm>

namespace {

// A pass reads at most this many notice sections.
constexpr std::int32_t kMaxNoticeSections = 50;

bool IsQueuedOrShowing(const std::wstring& id) {
    if (balloonShowing && currentNotice.id == id) {
        return true;
    }
    return std::any_of(NoticeQueue.begin(), NoticeQueue.end(),
                       [&id](const Notice& queued) { return queued.id == id; });
}

Notice ReadNotice(const std::wstring& section) {
    const std::wstring& statePath = startupOptions.statePath;
    Notice notice;
    notice.id = ReadProfileValue(statePath, section, L"id");
    notice.kind = ReadProfileValue(statePath, section, L"kind");
    notice.target = ReadProfileValue(statePath, section, L"target");
    notice.title = ReadProfileValue(statePath, section, L"title");
    notice.body = ReadProfileValue(statePath, section, L"body");
    return notice;
}

}  // namespace

void PollNotices() {
    if (EvaluateAppStatus() == kStatusStopped) {
        return;
    }
    if (!CanReadSeenFile()) {
        return;
    }

    const std::int32_t count = ParseInt32(ReadStateValue(L"notices"));
    const std::wstring today = TodayStamp();
    bool nudgedToday = ReadSeenValue(L"prefs", L"last_nudge_day") == today;

    // The order of the tests decides what a skipped notice costs: a nudge that is incomplete,
    // already shown or a duplicate does not use up the one nudge of the pass.
    for (std::int32_t index = 1; index <= std::min(count, kMaxNoticeSections); ++index) {
        Notice notice = ReadNotice(L"notice" + std::to_wstring(index));
        if (notice.id.empty() || notice.title.empty() || !IsStorableNoticeId(notice.id)) {
            continue;
        }
        if (ReadSeenValue(L"shown", notice.id) == L"1") {
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
