#include "memory/seen_file.h"

#include "app/options.h"
#include "companion/state_file.h"
#include "platform/platform.h"

#include <algorithm>
#include <cwchar>

void EnsureSeenFile() {
    const std::wstring& seenPath = startupOptions.seenPath;
    const DWORD attributes = platform::GetFileAttributesW(seenPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }

    // The folder ends at the last separator of either kind; a bare file name needs no folder.
    // The folder creation walks backslashes only, so forward slashes are turned into them. The
    // folder may already exist, or fail to be made: creating the file then tells.
    const std::size_t separator = seenPath.find_last_of(L"\\/");
    if (separator != std::wstring::npos && separator > 0) {
        std::wstring folder = seenPath.substr(0, separator);
        std::replace(folder.begin(), folder.end(), L'/', L'\\');
        platform::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    }

    // CREATE_NEW never opens or truncates a file that exists, so a seen file made by another
    // process in the meantime is left as it is.
    HANDLE file = platform::CreateFileW(seenPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    static constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};
    DWORD bytesWritten = 0;
    platform::WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &bytesWritten, nullptr);
    platform::CloseHandle(file);
}

void WriteSeenValue(const std::wstring& section, const std::wstring& key,
                    const std::wstring& value) {
    EnsureSeenFile();
    platform::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                                         startupOptions.seenPath.c_str());
}

bool IsNudgeMuted() {
    return ReadProfileValue(startupOptions.seenPath, L"prefs", L"mute_nudges") == L"1";
}

std::wstring TodayStamp() {
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    wchar_t stamp[16] = {};
    std::swprintf(stamp, std::size(stamp), L"%04u%02u%02u", static_cast<unsigned>(now.wYear),
                  static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay));
    return stamp;
}
