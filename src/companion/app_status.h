#pragma once

#include "companion/state_file.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string_view>

// A heartbeat counts as fresh this many seconds either side of now, both bounds included.
inline constexpr std::int64_t kHeartbeatToleranceSeconds = 90;

// The companion application's status, as the program tells it from the state file.
enum class AppStatus { Stopped, Running, UpdateWaiting };

// The state file's label for a status: "label_stopped", "label_running", "label_update_waiting".
std::wstring_view StatusLabelKey(AppStatus status);

// Decides from the state file's heartbeat and process id whether the companion application runs.
// Reads the file afresh at every call; every failure gives Stopped.
AppStatus EvaluateAppStatus(const StateFile& stateFile);

// The companion application's process, while the state file says it runs (fresh heartbeat, live
// process): the one to let come forward when the user asks for it. Nothing while it is stopped.
std::optional<DWORD> RunningCompanionProcessId(const StateFile& stateFile);
