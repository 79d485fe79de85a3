#include "companion/app_status.h"

#include "core/parse_int.h"
#include "core/profile_file.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <cstdint>

namespace {

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

// The status and the process id the state file names (0 when it names none).
struct Evaluation {
    AppStatus status = AppStatus::Stopped;
    DWORD processId = 0;
};

Evaluation Evaluate(const StateFile& stateFile) {
    if (!IsPresentFile(stateFile.Path())) {
        return {};
    }

    const std::int64_t written = ParseInt64(stateFile.ReadStateValue(L"written_unix"));
    // Only the low 32 bits name the process: 2^32 + 4 is process 4, and -1 is 0xFFFFFFFF.
    const auto processId = static_cast<DWORD>(
        static_cast<std::uint64_t>(ParseInt64(stateFile.ReadStateValue(L"pid"))));
    const std::int64_t now = platform::UnixTimeNow();

    if (written <= 0) {
        return {};
    }
    const std::int64_t age = now - written;
    if (age < -kHeartbeatToleranceSeconds || age > kHeartbeatToleranceSeconds) {
        return {};
    }
    if (processId == 0) {
        return {};
    }

    if (!IsProcessAlive(processId)) {
        return {};
    }
    // The one word of the file that means something here, compared exactly.
    if (stateFile.ReadStateValue(L"status") == L"update_waiting") {
        return {AppStatus::UpdateWaiting, processId};
    }
    return {AppStatus::Running, processId};
}

}  // namespace

std::wstring_view StatusLabelKey(AppStatus status) {
    switch (status) {
        case AppStatus::Running:
            return L"label_running";
        case AppStatus::UpdateWaiting:
            return L"label_update_waiting";
        case AppStatus::Stopped:
            break;
    }
    return L"label_stopped";
}

AppStatus EvaluateAppStatus(const StateFile& stateFile) {
    return Evaluate(stateFile).status;
}

std::optional<DWORD> RunningCompanionProcessId(const StateFile& stateFile) {
    const Evaluation evaluation = Evaluate(stateFile);
    if (evaluation.status == AppStatus::Stopped) {
        return std::nullopt;
    }
    return evaluation.processId;
}
