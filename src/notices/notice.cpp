#include "notices/notice.h"

std::deque<Notice> NoticeQueue;
Notice currentNotice;
bool balloonShowing = false;
int balloonTicks = 0;
std::optional<std::wstring> requestedNoticeId;
std::set<std::wstring> noticesShownThisRun;
int unreadableSeenPasses = 0;
