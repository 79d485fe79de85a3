#include "notices/balloon.h"

#include "memory/seen_file.h"
#include "notices/notice.h"
#include "platform/platform.h"
#include "tray/tray_record.h"

namespace {

// The longest time Windows keeps a balloon on screen is five minutes; the 31st ten-second tick
// that still finds the same balloon showing comes after that.
constexpr int kTicksBeforeBalloonEnds = 31;

}  // namespace

void ShowNextNotice() {
    // A request in flight means this call comes from a message that the shell sent while it
    // answers that request: the next notice waits for the end of the balloon being requested.
    if (balloonShowing || requestedNoticeId || NoticeQueue.empty() || !iconAdded) {
        return;
    }
    const Notice notice = NoticeQueue.front();
    NoticeQueue.pop_front();

    trayRecord.uFlags = NIF_INFO;
    CopyToField(trayRecord.szInfoTitle, notice.title);
    // The shell takes an empty balloon text as "remove the balloon": it would show nothing and
    // report no end, and every later notice would wait behind it. A blank keeps it a balloon.
    CopyToField(trayRecord.szInfo, notice.body.empty() ? L" " : notice.body);
    trayRecord.dwInfoFlags = notice.kind == kKindDanger ? NIIF_WARNING : NIIF_INFO;

    // The shell answers through a message sent across processes; while this thread waits, the
    // shell's own sent messages run TrayWindowProc. A balloon event among them is late news of
    // the balloon before this one, so currentNotice stays that balloon's notice until the shell
    // has taken this one, and a pass run meanwhile finds this notice by its requested id.
    requestedNoticeId = notice.id;
    const bool accepted = platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord) != FALSE;
    requestedNoticeId.reset();
    if (!accepted) {
        // As if never asked: the notice is left unmarked, and the next pass offers it again.
        return;
    }

    currentNotice = notice;
    balloonShowing = true;
    balloonTicks = 0;
    noticesShownThisRun.insert(notice.id);
    WriteSeenValue(L"shown", notice.id, L"1");
    if (notice.kind == kKindNudge) {
        WriteSeenValue(L"prefs", L"last_nudge_day", TodayStamp());
    }
}

void EndBalloon() {
    balloonShowing = false;
    balloonTicks = 0;
}

void CountBalloonTick() {
    if (!balloonShowing) {
        balloonTicks = 0;
        return;
    }
    // Notifications turned off, quiet hours, or a shell that never reports: without an end of
    // its own, the balloon would hold back every later notice for the rest of the run.
    if (++balloonTicks < kTicksBeforeBalloonEnds) {
        return;
    }
    EndBalloon();
    ShowNextNotice();
}
