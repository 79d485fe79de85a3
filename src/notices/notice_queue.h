#pragma once

#include <deque>
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

// While the companion application runs, queues the listed notices that are due ("danger" at the
// front), then shows the next one.
void PollNotices();

// False for an id that cannot serve as a key of the seen file: its "shown" mark would be written
// but never read back, and the notice would be shown again at every pass.
bool IsStorableNoticeId(std::wstring_view id);
