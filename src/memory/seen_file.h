#pragma once

#include <string>

// Creates the seen file, and the folders above it, when it does not exist yet. A new file holds
// only the UTF-16LE byte-order mark, so the profile writer keeps writing UTF-16LE into it.
void EnsureSeenFile();

// The only write of the seen file.
void WriteSeenValue(const std::wstring& section, const std::wstring& key,
                    const std::wstring& value);

// True when [prefs] mute_nudges of the seen file is exactly "1".
bool IsNudgeMuted();

// The local date as eight digits, year, month, day: "20260305".
std::wstring TodayStamp();
