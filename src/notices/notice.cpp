#include "notices/notice.h"

std::deque<Notice> NoticeQueue;
Notice currentNotice;
bool balloonShowing = false;
