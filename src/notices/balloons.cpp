#include "notices/balloons.h"

#include "platform/platform.h"

namespace {

// The longest time Windows keeps a balloon on screen is five minutes; the 31st ten-second tick
// that still finds the same balloon showing comes after that.
constexpr int kTicksBeforeBalloonEnds = 31;

}  // namespace

void Balloons::ShowNextNotice() {
    // A request in flight means this call comes from a message that the shell sent while it
    // answers that request: the next notice waits for the end of the balloon being requested.
    if (balloonShowing_ || requestedNoticeId_ || noticeQueue_.empty() || !icon_.IsAdded()) {
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
