#pragma once

#include <string_view>

// The companion application's status, used as text: it names the label "label_<status>".
using AppStatus = std::wstring_view;

inline constexpr AppStatus kStatusStopped = L"stopped";
inline constexpr AppStatus kStatusRunning = L"running";
inline constexpr AppStatus kStatusUpdateWaiting = L"update_waiting";

// Decides from the state file's heartbeat and process id whether the companion application runs.
// Reads the file afresh at every call; every failure gives "stopped".
AppStatus EvaluateAppStatus();
