#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// The state file that the companion application writes; the program only reads it, and reads it
// afresh at every use: nothing read from it is kept.
class StateFile {
  public:
    explicit StateFile(std::wstring path) : path_(std::move(path)) {}

    const std::wstring& Path() const { return path_; }

    // A value of section [state].
    std::wstring ReadStateValue(std::wstring_view key) const;
    // "label_" + name from section [state].
    std::wstring ReadLabel(std::wstring_view name) const;
    // A value of any section, such as a notice's.
    std::wstring ReadValue(const std::wstring& section, const std::wstring& key) const;

  private:
    std::wstring path_;
};

// Decimal text to a signed integer: leading blanks and one sign are skipped, digits are read up
// to the first non-digit, no digit gives 0, and values beyond the range stick at its ends.
std::int32_t ParseInt32(std::wstring_view text);
std::int64_t ParseInt64(std::wstring_view text);
