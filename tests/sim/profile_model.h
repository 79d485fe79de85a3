// Profile files as the simulated world holds them, and what may happen to the seen file.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace sim {

// A profile file's content: sections and keys found without regard to letter case (and keys
// with the blanks around them dropped), values as stored.
using ProfileSections = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

// A section or key name as the profile functions match it: blanks around it dropped, letters
// folded to lower case.
std::wstring ProfileName(std::wstring_view name);

// The value stored under a section and key; null when the file holds none.
const std::wstring* FindProfileValue(const ProfileSections& sections, std::wstring_view section,
                                     std::wstring_view key);

// The seen file and what may happen to it.
struct SeenFileModel {
    enum class Kind { Missing, File, Folder };
    Kind kind = Kind::Missing;
    bool byteOrderMark = false;  // UTF-16LE; without it, writes go through the ANSI code page
    bool zeroBytes = false;      // exists and is empty
    bool locked = false;         // another program holds it without sharing
    bool readOnly = false;
    bool diskFull = false;
    ProfileSections sections;

    bool CanBeRead() const { return kind == Kind::File && !locked; }
    // The value stored, or the empty text.
    std::wstring Value(std::wstring_view section, std::wstring_view key) const {
        const std::wstring* value = FindProfileValue(sections, section, key);
        return value != nullptr ? *value : L"";
    }
};

}  // namespace sim
