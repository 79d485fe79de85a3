#include "companion/app_status.h"

#include "companion/state_file.h"
#include "core/profile_file.h"
#include "core/startup_options.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <cstdint>

namespace {

// A heartbeat counts as fresh this many seconds either side of now, both bounds included.
constexpr std::int64_t kHeartbeatToleranceSeconds = 90;

// An ended process that exited with STILL_ACTIVE (259) cannot be told from a live one.
bool IsProcessAlive(DWORD processId) {
    const platform::OwnedHandle process(
        platform::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return false;
    }
    DWORD exitCode = 0;
    return platform::GetExitCodeProcess(process.Get(), &exitCode) && exitCode == STILL_ACTIVE;
}

}  // namespace

AppStatus EvaluateAppStatus() {
    if (!IsPresentFile(startupOptions.statePath)) {
        return kStatusStopped;
    }

    const std::int64_t written = ParseInt64(ReadStateValue(L"written_unix"));
    // Only the low 32 bits name the process: 2^32 + 4 is process 4, and -1 is 0xFFFFFFFF.
    const auto processId =
        static_cast<DWORD>(static_cast<std::uint64_t>(ParseInt64(ReadStateValue(L"pid"))));
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

    if (!IsProcessAlive(processId)) {
        return kStatusStopped;
    }
    if (ReadStateValue(L"status") == kStatusUpdateWaiting) {
        return kStatusUpdateWaiting;
    }
    return kStatusRunning;
}
