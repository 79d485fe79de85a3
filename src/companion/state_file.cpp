#include "companion/state_file.h"

#include "core/profile_file.h"

std::wstring StateFile::ReadStateValue(std::wstring_view key) const {
    return ReadProfileValue(path_, L"state", std::wstring(key));
}

std::wstring StateFile::ReadLabel(std::wstring_view name) const {
    return ReadStateValue(L"label_" + std::wstring(name));
}

std::wstring StateFile::ReadValue(const std::wstring& section, const std::wstring& key) const {
    return ReadProfileValue(path_, section, key);
}
