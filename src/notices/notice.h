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
