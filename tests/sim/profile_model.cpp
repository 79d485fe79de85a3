#include "profile_model.h"

#include "core/profile_file.h"

#include <cwctype>

namespace sim {

std::wstring ProfileName(std::wstring_view name) {
    std::size_t begin = 0;
    std::size_t end = name.size();
    while (begin < end && IsProfileBlank(name[begin])) {
        ++begin;
    }
    while (end > begin && IsProfileBlank(name[end - 1])) {
        --end;
    }
    std::wstring folded(name.substr(begin, end - begin));
    for (wchar_t& c : folded) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return folded;
}

const std::wstring* FindProfileValue(const ProfileSections& sections, std::wstring_view section,
                                     std::wstring_view key) {
    const auto found = sections.find(ProfileName(section));
    if (found == sections.end()) {
        return nullptr;
    }
    const auto value = found->second.find(ProfileName(key));
    return value != found->second.end() ? &value->second : nullptr;
}

}  // namespace sim
