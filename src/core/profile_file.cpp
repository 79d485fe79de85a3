#include "core/profile_file.h"

#include "platform/platform.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr DWORD kProfileValueCapacity = 4096;

bool IsFileAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::wstring ReadProfileValue(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key) {
    std::wstring buffer(kProfileValueCapacity, L'\0');
    const DWORD copied = platform::GetPrivateProfileStringW(
        section.c_str(), key.c_str(), L"", buffer.data(), kProfileValueCapacity, path.c_str());
    // The length the reader reports, kept within the buffer and ended at a zero inside the value
    // (a line with NUL bytes in it). A copy of just the text: the 4096-character buffer would
    // otherwise stay behind in every value kept, such as the five texts of each queued notice.
    std::wstring_view text(buffer.data(), std::min<std::size_t>(copied, kProfileValueCapacity - 1));
    text = text.substr(0, text.find(L'\0'));
    return std::wstring(text);
}

bool IsPresentFile(const std::wstring& path) {
    return IsFileAttributes(platform::GetFileAttributesW(path.c_str()));
}

std::optional<std::uint64_t> PresentFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!platform::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        !IsFileAttributes(data.dwFileAttributes)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
