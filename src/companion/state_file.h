#pragma once

#include <cstdint>
#include <string>

// One value of a profile file (the state file or the seen file): at most 4095 characters, and the
// empty text for a missing file, section or key.
std::wstring ReadProfileValue(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key);

// "label_" + name from section [state] of the state file.
std::wstring ReadLabel(std::wstring_view name);

// Decimal text to a signed integer: leading white space and one sign are skipped, digits are read
// up to the first non-digit, no digit gives 0, and values beyond the range stick at its ends.
std::int32_t ParseInt32(std::wstring_view text);
std::int64_t ParseInt64(std::wstring_view text);
