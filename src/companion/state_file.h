#pragma once

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
