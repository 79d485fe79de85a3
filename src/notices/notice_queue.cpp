#include "notices/notice_queue.h"

#include "app/options.h"
#include "companion/app_status.h"
#include "companion/state_file.h"
#include "memory/seen_file.h"
#include "notices/balloon.h"
#include "platform/platform.h"

#include <algorithm>

std::deque<Notice> NoticeQueue;
Notice currentNotice;
bool balloonShowing = false;

namespace {

// A pass reads at most this many notice sections.
constexpr std::int32_t kMaxNoticeSections = 50;

// What the profile functions take for blanks around a key name.
constexpr std::wstring_view kProfileBlanks = L" \t\n\v\f\r\x1A";

bool IsQueuedOrShowing(const std::wstring& id) {
    if (balloonShowing && currentNotice.id == id) {
        return true;
    }
    return std::any_of(NoticeQueue.begin(), NoticeQueue.end(),
                       [&id](const Notice& queued) { return queued.id == id; });
}

// A seen file that exists but cannot be opened (another process holds it without sharing, as
// backup and sync tools do for a moment) would read as empty: every notice already shown would
// come back. Such a pass waits for the next tick instead. A missing file is no memory yet.
bool CanReadSeenFile() {
    const std::wstring& seenPath = startupOptions.seenPath;
    const DWORD attributes = platform::GetFileAttributesW(seenPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    HANDLE file = platform::CreateFileW(seenPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    platform::CloseHandle(file);
    return true;
}

Notice ReadNotice(const std::wstring& section) {
    const std::wstring& statePath = startupOptions.statePath;
    Notice notice;
    notice.id = ReadProfileValue(statePath, section, L"id");
    notice.kind = ReadProfileValue(statePath, section, L"kind");
    notice.target = ReadProfileValue(statePath, section, L"target");
    notice.title = ReadProfileValue(statePath, section, L"title");
    notice.body = ReadProfileValue(statePath, section, L"body");
    return notice;
}

}  // namespace

bool IsStorableNoticeId(std::wstring_view id) {
    if (id.empty()) {
        return false;
    }
    // Blanks before a key are dropped when it is written, so " a" would share the mark of "a";
    // blanks after it stay in the file but are dropped from the name looked up, so the mark is
    // never found again.
    if (kProfileBlanks.find(id.front()) != std::wstring_view::npos ||
        kProfileBlanks.find(id.back()) != std::wstring_view::npos) {
        return false;
    }
    // "=" ends the key when the line is read back, and a line break ends the line.
    if (id.find_first_of(L"=\r\n") != std::wstring_view::npos) {
        return false;
    }
    // A line that begins with "[" opens a section and one that begins with ";" is a comment to
    // the Windows profile reader.
    return id.front() != L'[' && id.front() != L';';
}

void PollNotices() {
    if (EvaluateAppStatus() == kStatusStopped) {
        return;
    }
    const std::wstring& seenPath = startupOptions.seenPath;
    if (!CanReadSeenFile()) {
        return;
    }

    const std::int32_t count =
        ParseInt32(ReadProfileValue(startupOptions.statePath, L"state", L"notices"));
    const std::wstring today = TodayStamp();
    bool nudgedToday = ReadProfileValue(seenPath, L"prefs", L"last_nudge_day") == today;

    // The order of the tests decides what a skipped notice costs: a nudge that is incomplete,
    // already shown or a duplicate does not use up the one nudge of the pass.
    for (std::int32_t index = 1; index <= std::min(count, kMaxNoticeSections); ++index) {
        Notice notice = ReadNotice(L"notice" + std::to_wstring(index));
        if (notice.id.empty() || notice.title.empty() || !IsStorableNoticeId(notice.id)) {
            continue;
        }
        if (ReadProfileValue(seenPath, L"shown", notice.id) == L"1") {
            continue;
        }
        if (notice.kind != kKindDanger && notice.kind != kKindInfo && notice.kind != kKindNudge) {
            continue;
        }
        if (IsQueuedOrShowing(notice.id)) {
            continue;
        }
        if (notice.kind == kKindNudge) {
            if (IsNudgeMuted() || nudgedToday) {
                continue;
            }
            nudgedToday = true;
        }
        if (notice.kind == kKindDanger) {
            NoticeQueue.push_front(std::move(notice));
        } else {
            NoticeQueue.push_back(std::move(notice));
        }
    }

    ShowNextNotice();
}
