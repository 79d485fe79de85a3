#pragma once

#include <optional>
#include <string>
#include <string_view>

// What kind of notice a section lists; the word is read once, where the notice is read.
enum class NoticeKind { Danger, Info, Nudge };

// "danger", "info" or "nudge", compared exactly; any other word is no kind, and such a notice is
// skipped.
inline std::optional<NoticeKind> ParseNoticeKind(std::wstring_view word) {
    if (word == L"danger") {
        return NoticeKind::Danger;
    }
    if (word == L"info") {
        return NoticeKind::Info;
    }
    if (word == L"nudge") {
        return NoticeKind::Nudge;
    }
    return std::nullopt;
}

// One notice as read from a [notice<N>] section of the state file.
struct Notice {
    std::wstring id;
    NoticeKind kind = NoticeKind::Info;
    std::wstring target;
    std::wstring title;
    std::wstring body;
};
