#pragma once

#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// One notice as read from a [notice<N>] section of the state file.
struct Notice {
    std::wstring id;
    std::wstring kind;
    std::wstring target;
    std::wstring title;
    std::wstring body;
};

inline constexpr std::wstring_view kKindDanger = L"danger";
inline constexpr std::wstring_view kKindInfo = L"info";
inline constexpr std::wstring_view kKindNudge = L"nudge";

// Notices waiting for their balloon, the next one at the front.
extern std::deque<Notice> NoticeQueue;
// The notice last taken from the queue, whether or not its balloon could be shown.
extern Notice currentNotice;
// A balloon is on screen and the shell has not yet reported its end.
extern bool balloonShowing;
// The timer ticks that found the balloon on screen still showing; the program ends a balloon
// itself when the shell never reports its end.
extern int balloonTicks;
// The id of the notice whose balloon the shell is being asked to show, while it answers. Messages
// the shell sends meanwhile run the window procedure inside the request.
extern std::optional<std::wstring> requestedNoticeId;
// The ids whose balloons the shell accepted in this run. A pass skips them as if the seen file
// marked them, so that a seen file that cannot store anything never shows a notice twice in one
// run; across runs the seen file is the only memory.
extern std::set<std::wstring> noticesShownThisRun;
// The passes in a row that found the seen file present but unreadable.
extern int unreadableSeenPasses;
