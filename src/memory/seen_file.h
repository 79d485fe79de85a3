#pragma once

#include <string>
#include <string_view>

// Creates the seen file, and the folders above it, when it does not exist yet. A new file holds
// only the UTF-16LE byte-order mark, so the profile writer keeps writing UTF-16LE into it.
void EnsureSeenFile();

// The only write of the seen file.
void WriteSeenValue(const std::wstring& section, const std::wstring& key,
                    const std::wstring& value);

// A value of the seen file; the empty text for a missing file, section or key.
std::wstring ReadSeenValue(const std::wstring& section, const std::wstring& key);

// False while a seen file exists but cannot be opened for reading: another process (a backup or
// sync tool, for a moment) holds it without sharing. Read through such a lock every mark would
// look missing. A missing seen file is no memory yet, and counts as readable.
bool CanReadSeenFile();

// True when [prefs] mute_nudges of the seen file is exactly "1".
bool IsNudgeMuted();

// The local date as eight digits, year, month, day: "20260305".
std::wstring TodayStamp();

// False for an id that cannot serve as a key of the seen file: its "shown" mark would be written
// but never read back, and the notice would be shown again at every pass.
bool IsStorableNoticeId(std::wstring_view id);
