#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The characters the profile functions take for blanks: they trim them around section names,
// key names and values when they read a line, and around a key name when they write one. Space,
// tab, line feed, vertical tab, form feed, carriage return and 0x1A (the old end-of-file mark).
inline constexpr std::wstring_view kProfileBlanks = L" \t\n\v\f\r\x1A";

inline bool IsProfileBlank(wchar_t c) {
    return kProfileBlanks.find(c) != std::wstring_view::npos;
}

// One value of a profile file (the state file or the seen file): at most 4095 characters, and the
// empty text for a missing file, section or key.
std::wstring ReadProfileValue(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key);

// True when a file, not a folder, stands at path.
bool IsPresentFile(const std::wstring& path);

// The size in bytes of the file at path; nothing when no file stands there (missing, a folder).
std::optional<std::uint64_t> PresentFileSize(const std::wstring& path);
