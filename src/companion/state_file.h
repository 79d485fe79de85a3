#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A value of section [state] of the state file.
std::wstring ReadStateValue(std::wstring_view key);

// "label_" + name from section [state] of the state file.
std::wstring ReadLabel(std::wstring_view name);

// Decimal text to a signed integer: leading blanks and one sign are skipped, digits are read up
// to the first non-digit, no digit gives 0, and values beyond the range stick at its ends.
std::int32_t ParseInt32(std::wstring_view text);
std::int64_t ParseInt64(std::wstring_view text);
