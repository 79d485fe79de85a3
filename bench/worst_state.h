// The heaviest steady state a timer tick meets: a running companion that lists the most notices
// a pass reads, every one complete and already shown, so each tick reads everything and shows
// nothing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kNoticeCount = 50;

struct WorstStateFiles {
    std::wstring statePath;
    std::wstring seenPath;
    DWORD companionPid = 0;
    std::vector<std::wstring> noticeSections;  // "notice1" .. "notice50"
};

// The id that the state file gives notice number `index` (1-based), and its seen-file key.
std::wstring NoticeId(int index);

// Writes both files into `folder` (which must exist) as the companion and the program write them:
// UTF-16LE with a byte-order mark, CRLF line ends, replaced in one step.
WorstStateFiles WriteWorstState(const std::wstring& folder, DWORD companionPid,
                                std::int64_t writtenUnix);

// A fresh heartbeat in the state file, written the way the companion does: the whole file again.
void RefreshHeartbeat(const WorstStateFiles& files, std::int64_t writtenUnix);

}  // namespace bench
