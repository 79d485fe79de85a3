#pragma once

#include <cstdint>
#include <string_view>

// Decimal text to a signed integer: leading blanks and one sign are skipped, digits are read up
// to the first non-digit, no digit gives 0, and values beyond the range stick at its ends.
std::int32_t ParseInt32(std::wstring_view text);
std::int64_t ParseInt64(std::wstring_view text);
