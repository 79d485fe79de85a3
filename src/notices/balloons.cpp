#include "notices/balloons.h"

#include "companion/app_status.h"
#include "core/parse_int.h"
#include "core/today_stamp.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

// Whether a balloon requested now reaches the user's eyes. While the screen is locked or the
// user away, a full-screen program or a presentation holds the display, or the quiet hour after
// the first sign-in runs, it would not; the queue waits for the next tick. Any other answer, and
// a failed question, lets it go.
bool UserCanSeeNotifications() {
    QUERY_USER_NOTIFICATION_STATE state = QUNS_ACCEPTS_NOTIFICATIONS;
    if (FAILED(platform::SHQueryUserNotificationState(&state))) {
        return true;
    }
    switch (state) {
        case QUNS_NOT_PRESENT:
        case QUNS_BUSY:
        case QUNS_RUNNING_D3D_FULL_SCREEN:
        case QUNS_PRESENTATION_MODE:
        case QUNS_QUIET_TIME:
            return false;
        default:
            return true;
    }
}

// A pass reads at most this many notice sections.
constexpr std::int32_t kMaxNoticeSections = 50;

// A notice as its section lists it, before the pass decides whether it is due: the kind is
// nothing for a word that names no kind.
struct ListedNotice {
    std::wstring id;
    std::optional<NoticeKind> kind;
    std::wstring target;
    std::wstring title;
    std::wstring body;
};

// The five values of a notice section, each read by a call of its own. A companion that rewrites
// the file in the middle may move another notice into the section: the id is read once more
// after the others, and a notice whose id changed meanwhile is not taken (nothing), since its
// texts may be another notice's. It waits for the next pass.
std::optional<ListedNotice> ReadNotice(const StateFile& stateFile, const std::wstring& section) {
    ListedNotice notice;
    notice.id = stateFile.ReadValue(section, L"id");
    notice.kind = ParseNoticeKind(stateFile.ReadValue(section, L"kind"));
    notice.target = stateFile.ReadValue(section, L"target");
    notice.title = stateFile.ReadValue(section, L"title");
    notice.body = stateFile.ReadValue(section, L"body");
    if (stateFile.ReadValue(section, L"id") != notice.id) {
        return std::nullopt;
    }
    return notice;
}

}  // namespace

bool Balloons::IsQueuedOrShowing(const std::wstring& id) const {
    if (requestedNoticeId_ == id || (balloonShowing_ && currentNotice_.id == id)) {
        return true;
    }
    return std::any_of(noticeQueue_.begin(), noticeQueue_.end(),
                       [&id](const Notice& queued) { return queued.id == id; });
}

bool Balloons::IsNudgeWaiting() const {
    return requestingNudge_ ||
           std::any_of(noticeQueue_.begin(), noticeQueue_.end(),
                       [](const Notice& queued) { return queued.kind == NoticeKind::Nudge; });
}

void Balloons::PollNotices() {
    if (EvaluateAppStatus(stateFile_) == AppStatus::Stopped) {
        return;
    }
    if (seenFile_.ShouldPauseNoticePass()) {
        return;
    }

    const std::int32_t count = ParseInt32(stateFile_.ReadStateValue(L"notices"));
    const std::wstring today = TodayStamp();
    // A nudge already on its way counts as the day's nudge: it is shown, and stamps the day,
    // only once the balloons before it have closed.
    bool nudgedToday = seenFile_.LastNudgeDay() == today || IsNudgeWaiting();

    // The order of the tests decides what a skipped notice costs: a nudge that is incomplete,
    // already shown or a duplicate does not use up the one nudge of the pass.
    for (std::int32_t index = 1; index <= std::min(count, kMaxNoticeSections); ++index) {
        std::optional<ListedNotice> read =
            ReadNotice(stateFile_, L"notice" + std::to_wstring(index));
        if (!read) {
            continue;
        }
        ListedNotice& listed = *read;
        if (listed.id.empty() || listed.title.empty() || !IsStorableNoticeId(listed.id)) {
            continue;
        }
        if (seenFile_.IsMarkedShown(listed.id) || noticesShownThisRun_.contains(listed.id)) {
            continue;
        }
        if (!listed.kind) {
            continue;
        }
        if (IsQueuedOrShowing(listed.id)) {
            continue;
        }
        if (*listed.kind == NoticeKind::Nudge) {
            if (seenFile_.IsNudgeMuted() || nudgedToday) {
                continue;
            }
            nudgedToday = true;
        }
        Notice notice{.id = std::move(listed.id),
                      .kind = *listed.kind,
                      .target = std::move(listed.target),
                      .title = std::move(listed.title),
                      .body = std::move(listed.body)};
        if (notice.kind == NoticeKind::Danger) {
            noticeQueue_.push_front(std::move(notice));
        } else {
            noticeQueue_.push_back(std::move(notice));
        }
    }

    ShowNextNotice();
}

void Balloons::ShowNextNotice() {
    // A request in flight means this call comes from a message that the shell sent while it
    // answers that request: the next notice waits for the end of the balloon being requested.
    if (balloonShowing_ || requestedNoticeId_ || noticeQueue_.empty() || !icon_.IsAdded()) {
        return;
    }
    // Asked only when a balloon is due. Requested now, the balloon would go unseen (Windows
    // drops it or files it away), and the notice would count as shown for good.
    if (!UserCanSeeNotifications()) {
        return;
    }
    const Notice notice = noticeQueue_.front();
    noticeQueue_.pop_front();

    // The shell takes an empty balloon text as "remove the balloon": it would show nothing and
    // report no end, and every later notice would wait behind it. A blank keeps it a balloon.
    const std::wstring_view text = notice.body.empty() ? L" " : std::wstring_view(notice.body);
    const DWORD infoFlags = notice.kind == NoticeKind::Danger ? NIIF_WARNING : NIIF_INFO;

    // A balloon event that arrives while the shell answers is late news of the balloon before
    // this one, so currentNotice stays that balloon's notice until the shell has taken this one,
    // and a pass run meanwhile finds this notice by its requested id.
    requestedNoticeId_ = notice.id;
    requestingNudge_ = notice.kind == NoticeKind::Nudge;
    taskbarCreatedInRequest_ = false;
    const bool accepted = icon_.ShowBalloon(notice.title, text, infoFlags);
    requestedNoticeId_.reset();
    requestingNudge_ = false;
    // A taskbar re-created while the shell answered never got the balloon, whatever the answer:
    // nothing is on screen to wait for.
    if (!accepted || taskbarCreatedInRequest_) {
        // As if never asked: the notice is left unmarked, and the next pass offers it again.
        return;
    }

    currentNotice_ = notice;
    balloonShowing_ = true;
    balloonTicks_ = 0;
    noticesShownThisRun_.insert(notice.id);
    seenFile_.MarkShown(notice.id);
    if (notice.kind == NoticeKind::Nudge) {
        seenFile_.SetLastNudgeDay(TodayStamp());
    }
}

void Balloons::EndBalloon() {
    balloonShowing_ = false;
    balloonTicks_ = 0;
}

void Balloons::OnBalloonEnded() {
    EndBalloon();
    ShowNextNotice();
}

void Balloons::OnBalloonClicked() {
    EndBalloon();
    opener_.OpenNoticeTarget(currentNotice_.target);
    ShowNextNotice();
}

void Balloons::OnTaskbarCreated() {
    EndBalloon();
    if (requestedNoticeId_) {
        taskbarCreatedInRequest_ = true;
    }
}

void Balloons::CountBalloonTick() {
    if (!balloonShowing_) {
        balloonTicks_ = 0;
        return;
    }
    // Notifications turned off, quiet hours, or a shell that never reports: without an end of
    // its own, the balloon would hold back every later notice for the rest of the run.
    if (++balloonTicks_ < kTicksBeforeBalloonEnds) {
        return;
    }
    OnBalloonEnded();
}
