#include "memory/seen_file.h"

#include "core/profile_file.h"
#include "platform/owned_handle.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};

// A seen file held open by another program reads as empty, so every notice already shown would
// come back: such a pass waits, but not for good.
constexpr int kUnreadablePassesToWait = 30;

void WriteByteOrderMark(HANDLE file) {
    DWORD bytesWritten = 0;
    platform::WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &bytesWritten, nullptr);
}

// A seen file of zero bytes (a write cut short, a file made by an installer) would be written in
// the ANSI code page, where an id such as "ü-日本" is stored as "ü-??" and never reads back.
// It gets the mark a new file gets; the size is checked again under an exclusive handle, so that
// nothing written meanwhile is covered.
void MarkEmptySeenFile(const std::wstring& seenPath) {
    const platform::OwnedFile file(platform::CreateFileW(seenPath.c_str(), GENERIC_WRITE, 0,
                                                         nullptr, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (file && platform::GetFileSizeEx(file.Get(), &size) && size.QuadPart == 0) {
        WriteByteOrderMark(file.Get());
    }
}

// The path made full against the current folder; the path as it is when that fails.
std::wstring FullPath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = platform::GetFullPathNameW(
            path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return path;
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);  // the size it needs, with the terminator
    }
}

}  // namespace

void SeenFile::EnsureSeenFile() const {
    const std::wstring& seenPath = path_;
    if (const std::optional<std::uint64_t> size = PresentFileSize(seenPath)) {
        if (*size == 0) {
            MarkEmptySeenFile(seenPath);
        }
        return;
    }

    // The folder ends at the last separator of either kind; a bare file name needs no folder.
    // The folder creation walks backslashes only, so forward slashes are turned into them, and
    // takes a full path only (a relative one it refuses), so a folder relative to the current
    // one is made full first. The folder may already exist, or fail to be made: creating the
    // file then tells.
    const std::size_t separator = seenPath.find_last_of(L"\\/");
    if (separator != std::wstring::npos && separator > 0) {
        std::wstring folder = seenPath.substr(0, separator);
        std::replace(folder.begin(), folder.end(), L'/', L'\\');
        platform::SHCreateDirectoryExW(nullptr, FullPath(folder).c_str(), nullptr);
    }

    // CREATE_NEW never opens or truncates a file that exists, so a seen file made by another
    // process in the meantime is left as it is.
    const platform::OwnedFile file(platform::CreateFileW(
        seenPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        WriteByteOrderMark(file.Get());
    }
}

bool SeenFile::WriteSeenValue(const std::wstring& section, const std::wstring& key,
                              const std::wstring& value) const {
    EnsureSeenFile();
    return platform::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                                                path_.c_str()) != FALSE;
}

std::wstring SeenFile::ReadSeenValue(const std::wstring& section, const std::wstring& key) const {
    return ReadProfileValue(path_, section, key);
}

bool SeenFile::CanReadSeenFile() const {
    if (!IsPresentFile(path_)) {
        return true;
    }
    const platform::OwnedFile probe(platform::CreateFileW(
        path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(probe);
}

bool SeenFile::ShouldPauseNoticePass() {
    if (CanReadSeenFile()) {
        unreadablePasses_ = 0;
        return false;
    }
    if (unreadablePasses_ < kUnreadablePassesToWait) {
        ++unreadablePasses_;
        return true;
    }
    return false;
}

bool SeenFile::IsMarkedShown(const std::wstring& id) const {
    return ReadSeenValue(L"shown", id) == L"1";
}

void SeenFile::MarkShown(const std::wstring& id) const {
    WriteSeenValue(L"shown", id, L"1");
}

std::wstring SeenFile::ReadPreference(Preference& preference, const wchar_t* key) {
    if (preference.unstored) {
        return preference.known;
    }
    std::wstring value = ReadSeenValue(L"prefs", key);
    // A file held by another program reads as empty, as if nothing were set: the value this run
    // last knew stands instead. (Probed only then, so a preference that is set costs no probe.)
    if (value.empty() && !CanReadSeenFile()) {
        return preference.known;
    }
    preference.known = value;
    return value;
}

void SeenFile::WritePreference(Preference& preference, const wchar_t* key,
                               const std::wstring& value) {
    preference.known = value;
    preference.unstored = !WriteSeenValue(L"prefs", key, value);
}

bool SeenFile::IsNudgeMuted() {
    return ReadPreference(muteNudges_, L"mute_nudges") == L"1";
}

void SeenFile::SetNudgesMuted(bool muted) {
    WritePreference(muteNudges_, L"mute_nudges", muted ? L"1" : L"0");
}

std::wstring SeenFile::LastNudgeDay() {
    return ReadPreference(lastNudgeDay_, L"last_nudge_day");
}

void SeenFile::SetLastNudgeDay(const std::wstring& day) {
    WritePreference(lastNudgeDay_, L"last_nudge_day", day);
}

bool IsStorableNoticeId(std::wstring_view id) {
    if (id.empty()) {
        return false;
    }
    // Blanks before a key are dropped when it is written, so " a" would share the mark of "a";
    // blanks after it stay in the file but are dropped from the name looked up, so the mark is
    // never found again.
    if (IsProfileBlank(id.front()) || IsProfileBlank(id.back())) {
        return false;
    }
    // "=" ends the key when the line is read back, and a line break ends the line.
    if (id.find_first_of(L"=\r\n") != std::wstring_view::npos) {
        return false;
    }
    // A line that begins with "[" opens a section and one that begins with ";" is a comment to
    // the Windows profile reader.
    return id.front() != L'[' && id.front() != L';';
}
