#include "companion/app_status.h"

#include "app/options.h"
#include "companion/state_file.h"
#include "platform/platform.h"

#include <cstdint>

namespace {

// A heartbeat counts as fresh this many seconds either side of now, both bounds included.
constexpr std::int64_t kHeartbeatToleranceSeconds = 90;

}  // namespace

AppStatus EvaluateAppStatus() {
    const std::wstring& statePath = startupOptions.statePath;
    const DWORD attributes = platform::GetFileAttributesW(statePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return kStatusStopped;
    }

    const std::int64_t written = ParseInt64(ReadProfileValue(statePath, L"state", L"written_unix"));
    // Only the low 32 bits name the process: 2^32 + 4 is process 4, and -1 is 0xFFFFFFFF.
    const auto processId = static_cast<DWORD>(
        static_cast<std::uint64_t>(ParseInt64(ReadProfileValue(statePath, L"state", L"pid"))));
    const std::int64_t now = platform::UnixTimeNow();

    if (written <= 0) {
        return kStatusStopped;
    }
    const std::int64_t age = now - written;
    if (age < -kHeartbeatToleranceSeconds || age > kHeartbeatToleranceSeconds) {
        return kStatusStopped;
    }
    if (processId == 0) {
        return kStatusStopped;
    }

    HANDLE process = platform::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return kStatusStopped;
    }
    DWORD exitCode = 0;
    const BOOL queried = platform::GetExitCodeProcess(process, &exitCode);
    platform::CloseHandle(process);
    if (!queried || exitCode != STILL_ACTIVE) {
        return kStatusStopped;
    }

    if (ReadProfileValue(statePath, L"state", L"status") == kStatusUpdateWaiting) {
        return kStatusUpdateWaiting;
    }
    return kStatusRunning;
}
