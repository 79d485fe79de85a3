#pragma once

#include "actions/notice_target.h"
#include "companion/state_file.h"
#include "memory/seen_file.h"
#include "notices/notice.h"
#include "tray/tray_icon.h"

#include <deque>
#include <optional>
#include <set>
#include <string>

// The longest time Windows keeps a balloon on screen is five minutes; the 31st ten-second tick
// that still finds the same balloon showing comes after that, and ends it.
inline constexpr int kTicksBeforeBalloonEnds = 31;

// The notices on their way to the user: the queue of those waiting, the one on screen, and what
// the program remembers of this run. Balloons are shown one at a time, "danger" notices first.
class Balloons {
  public:
    Balloons(const StateFile& stateFile, SeenFile& seenFile, TrayIcon& icon, TargetOpener& opener)
        : stateFile_(stateFile), seenFile_(seenFile), icon_(icon), opener_(opener) {}

    // While the companion application runs, queues the listed notices that are due ("danger" at
    // the front), then shows the next one.
    void PollNotices();

    // Shows the front notice of the queue as a balloon, unless one is on screen or being
    // requested, the queue is empty, the shell does not hold the icon or the user cannot see a
    // notification now (locked, away, busy with a full-screen program or a presentation, quiet
    // time); marks it as shown once the shell has taken it.
    void ShowNextNotice();

    // The shell reports that the balloon closed (hidden or timed out): the next notice follows.
    void OnBalloonEnded();
    // The user clicked the balloon: its notice's target opens, then the next notice follows.
    void OnBalloonClicked();
    // The taskbar that held the balloon is gone; queued notices wait for the next tick. A balloon
    // being requested meanwhile never reaches the new taskbar, and is offered again later.
    void OnTaskbarCreated();

    // Counts a timer tick. On the 31st tick that finds the same balloon still on screen, the
    // balloon is taken as ended, as if it had timed out, and the next notice is shown.
    void CountBalloonTick();

    const std::deque<Notice>& Queue() const { return noticeQueue_; }
    const Notice& CurrentNotice() const { return currentNotice_; }
    bool IsBalloonShowing() const { return balloonShowing_; }
    const std::optional<std::wstring>& RequestedNoticeId() const { return requestedNoticeId_; }

  private:
    void EndBalloon();
    bool IsQueuedOrShowing(const std::wstring& id) const;
    bool IsNudgeWaiting() const;

    const StateFile& stateFile_;
    SeenFile& seenFile_;
    TrayIcon& icon_;
    TargetOpener& opener_;

    // Notices waiting for their balloon, the next one at the front.
    std::deque<Notice> noticeQueue_;
    // The notice last taken from the queue whose balloon the shell accepted.
    Notice currentNotice_;
    // A balloon is on screen and the shell has not yet reported its end.
    bool balloonShowing_ = false;
    // The timer ticks that found the balloon on screen still showing; the program ends a balloon
    // itself when the shell never reports its end.
    int balloonTicks_ = 0;
    // The id of the notice whose balloon the shell is being asked to show, while it answers.
    // Messages the shell sends meanwhile run the window procedure inside the request.
    std::optional<std::wstring> requestedNoticeId_;
    bool requestingNudge_ = false;
    // The taskbar was re-created while the shell answered the request in flight.
    bool taskbarCreatedInRequest_ = false;
    // The ids whose balloons the shell accepted in this run. A pass skips them as if the seen
    // file marked them, so that a seen file that cannot store anything never shows a notice
    // twice in one run; across runs the seen file is the only memory.
    std::set<std::wstring> noticesShownThisRun_;
};
