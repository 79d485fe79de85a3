#include "notices/balloon.h"

#include "memory/seen_file.h"
#include "notices/notice.h"
#include "platform/platform.h"
#include "tray/tray_record.h"

void ShowNextNotice() {
    if (balloonShowing || NoticeQueue.empty() || !iconAdded) {
        return;
    }
    currentNotice = NoticeQueue.front();
    NoticeQueue.pop_front();
    // The shell answers the request below through a message sent across processes; while this
    // thread waits, the shell's own sent messages (a late click on the previous balloon, say) run
    // TrayWindowProc and may take the next notice into currentNotice. The marks therefore go to
    // the notice taken here, and the balloon counts as shown from the request on, so that a pass
    // run meanwhile does not queue it again.
    const Notice notice = currentNotice;

    trayRecord.uFlags = NIF_INFO;
    CopyToField(trayRecord.szInfoTitle, notice.title);
    // The shell takes an empty balloon text as "remove the balloon": it would show nothing and
    // report no end, and every later notice would wait behind it. A blank keeps it a balloon.
    CopyToField(trayRecord.szInfo, notice.body.empty() ? L" " : notice.body);
    trayRecord.dwInfoFlags = notice.kind == kKindDanger ? NIIF_WARNING : NIIF_INFO;

    balloonShowing = true;
    if (!platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord)) {
        balloonShowing = false;
        return;
    }
    WriteSeenValue(L"shown", notice.id, L"1");
    if (notice.kind == kKindNudge) {
        WriteSeenValue(L"prefs", L"last_nudge_day", TodayStamp());
    }
}
