#include "notices/balloon.h"

#include "memory/seen_file.h"
#include "notices/notice_queue.h"
#include "platform/platform.h"
#include "tray/tray_record.h"

void ShowNextNotice() {
    if (balloonShowing || NoticeQueue.empty() || !iconAdded) {
        return;
    }
    currentNotice = NoticeQueue.front();
    NoticeQueue.pop_front();

    trayRecord.uFlags = NIF_INFO;
    CopyToField(trayRecord.szInfoTitle, currentNotice.title);
    // The shell takes an empty balloon text as "remove the balloon": it would show nothing and
    // report no end, and every later notice would wait behind it. A blank keeps it a balloon.
    CopyToField(trayRecord.szInfo, currentNotice.body.empty() ? L" " : currentNotice.body);
    trayRecord.dwInfoFlags = currentNotice.kind == kKindDanger ? NIIF_WARNING : NIIF_INFO;

    if (!platform::Shell_NotifyIconW(NIM_MODIFY, &trayRecord)) {
        return;
    }
    balloonShowing = true;
    WriteSeenValue(L"shown", currentNotice.id, L"1");
    if (currentNotice.kind == kKindNudge) {
        WriteSeenValue(L"prefs", L"last_nudge_day", TodayStamp());
    }
}
