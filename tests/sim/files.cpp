#include "files.h"

#include "checker.h"
#include "chooser.h"
#include "handles.h"
#include "run_log.h"

#include <algorithm>

namespace sim {

void Files::RememberRunsBefore(const std::vector<ListedNotice>& listed, const std::wstring& today) {
    switch (chooser_.Below(4)) {
        case 0:
            break;
        case 1:
        case 2:
            seen_.kind = SeenFileModel::Kind::File;
            seen_.byteOrderMark = true;
            for (const ListedNotice& notice : listed) {
                if (chooser_.Chance(40)) {
                    seen_.sections[L"shown"][ProfileName(notice.id)] = L"1";
                }
            }
            if (chooser_.Chance(30)) {
                seen_.sections[L"prefs"][L"mute_nudges"] = L"1";
            }
            if (chooser_.Chance(30)) {
                seen_.sections[L"prefs"][L"last_nudge_day"] = today;
            }
            break;
        case 3:
            seen_.kind = SeenFileModel::Kind::File;
            seen_.zeroBytes = true;
            break;
    }
}

void Files::WriteStateFile(const ProfileSections& sections) {
    // Keys as the reader finds them: without regard to case, blanks around them dropped.
    stateSections_.clear();
    for (const auto& [name, keys] : sections) {
        auto& stored = stateSections_[ProfileName(name)];
        for (const auto& [key, value] : keys) {
            stored[ProfileName(key)] = value;
        }
    }
    stateFileExists_ = true;
}

// --- what happens to the seen file ---

void Files::Act() {
    if (chooser_.Chance(6)) {
        ChangeSeenFile();
    }
}

void Files::ForgetSeenMemory(const char* why) {
    log_.Note(std::string("the seen file ") + why + "; what it held is gone");
    checker_.SeenMemoryLost();
    seen_.sections.clear();
}

void Files::ChangeSeenFile() {
    using Kind = SeenFileModel::Kind;
    switch (chooser_.Below(8)) {
        case 0:
            seen_.locked = !seen_.locked;
            log_.Note(seen_.locked ? "another program holds the seen file without sharing"
                                   : "the other program lets go of the seen file");
            break;
        case 1:
            seen_.readOnly = !seen_.readOnly;
            log_.Note(seen_.readOnly ? "the seen file is made read-only"
                                     : "the seen file is writable");
            break;
        case 2:
            seen_.diskFull = !seen_.diskFull;
            log_.Note(seen_.diskFull ? "the disk is full" : "the disk has room again");
            break;
        case 3:
            if (seen_.kind == Kind::Folder) {
                seen_.kind = Kind::Missing;
                log_.Note("the folder at the seen path is removed");
            } else {
                seen_.kind = Kind::Folder;
                ForgetSeenMemory("is replaced by a folder");
            }
            break;
        case 4:
            if (seen_.kind == Kind::File) {
                seen_.zeroBytes = true;
                seen_.byteOrderMark = false;
                ForgetSeenMemory("is cut to zero bytes");
            }
            break;
        case 5:
            if (seen_.kind == Kind::File) {
                seen_.kind = Kind::Missing;
                seen_.zeroBytes = false;
                seen_.byteOrderMark = false;
                ForgetSeenMemory("is deleted");
            }
            break;
        case 6:
            seen_.locked = false;
            seen_.readOnly = false;
            seen_.diskFull = false;
            log_.Note("the seen file can be read and written again");
            break;
        case 7:
            break;
    }
}

// --- the profile functions ---

DWORD Files::ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                         DWORD size, LPCWSTR path) {
    std::wstring value = defaultValue != nullptr ? defaultValue : L"";
    const std::wstring wanted = ProfileName(key);
    // A key holding "=" is written as a longer key and never found again.
    const bool findable = wanted.find(L'=') == std::wstring::npos;
    if (path == kStatePath) {
        if (stateFileExists_ && findable) {
            if (const std::wstring* found = FindProfileValue(stateSections_, section, wanted)) {
                value = *found;
            }
        }
    } else if (path == kSeenPath) {
        if (seen_.CanBeRead() && ProfileName(section) == L"prefs") {
            checker_.SeenPreferenceRead(wanted);
        }
        if (seen_.CanBeRead() && !seen_.zeroBytes && findable) {
            if (const std::wstring* found = FindProfileValue(seen_.sections, section, wanted)) {
                value = *found;
            }
        }
    } else {
        checker_.OtherFileRead(path);
    }
    const std::size_t length = std::min<std::size_t>(value.size(), size - 1);
    std::copy_n(value.data(), length, buffer);
    buffer[length] = L'\0';
    return static_cast<DWORD>(length);
}

BOOL Files::WriteProfile(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    if (path != kSeenPath) {
        checker_.OtherFileWritten(path);
        return FALSE;
    }
    const std::wstring sectionName = ProfileName(section);
    const std::wstring keyName = ProfileName(key);
    const bool stored = seen_.kind != SeenFileModel::Kind::Folder && !seen_.locked &&
                        !seen_.readOnly && !seen_.diskFull;
    if (sectionName == L"prefs") {
        checker_.PreferenceWritten(keyName, value, stored);
    }
    if (!stored) {
        log_.Note("a write of [" + Narrow(section) + "] " + Narrow(key) +
                  " does not reach the seen file");
        return FALSE;
    }
    if (seen_.kind == SeenFileModel::Kind::Missing || seen_.zeroBytes) {
        // The profile writer makes or fills such a file in the ANSI code page.
        seen_.kind = SeenFileModel::Kind::File;
        seen_.zeroBytes = false;
        seen_.byteOrderMark = false;
    }
    const auto ansi = [this](std::wstring text) {
        if (!seen_.byteOrderMark) {
            for (wchar_t& c : text) {
                if (c > 0x7F) {
                    c = L'?';
                }
            }
        }
        return text;
    };
    seen_.sections[ansi(sectionName)][ansi(keyName)] = ansi(value);
    return TRUE;
}

// --- the file functions ---

DWORD Files::Attributes(LPCWSTR path) const {
    if (path == kStatePath) {
        return stateFileExists_ ? FILE_ATTRIBUTE_NORMAL : INVALID_FILE_ATTRIBUTES;
    }
    if (path == kSeenPath) {
        switch (seen_.kind) {
            case SeenFileModel::Kind::Missing:
                return INVALID_FILE_ATTRIBUTES;
            case SeenFileModel::Kind::Folder:
                return FILE_ATTRIBUTE_DIRECTORY;
            case SeenFileModel::Kind::File:
                return seen_.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
        }
    }
    return INVALID_FILE_ATTRIBUTES;
}

BOOL Files::AttributesEx(LPCWSTR path, LPVOID information) const {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FALSE;
    }
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    *data = WIN32_FILE_ATTRIBUTE_DATA{};
    data->dwFileAttributes = attributes;
    data->nFileSizeLow = path == kSeenPath && seen_.zeroBytes ? 0 : 100;
    return TRUE;
}

HANDLE Files::Open(LPCWSTR path, DWORD access, DWORD disposition) {
    using Kind = SeenFileModel::Kind;
    if (path != kSeenPath) {
        checker_.OtherFileOpened(path);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW) {
        if (seen_.kind != Kind::Missing || seen_.diskFull) {
            return INVALID_HANDLE_VALUE;
        }
        seen_.kind = Kind::File;
        seen_.zeroBytes = true;
        seen_.byteOrderMark = false;
        seen_.sections.clear();
    } else if (seen_.kind != Kind::File || seen_.locked ||
               ((access & GENERIC_WRITE) != 0 && seen_.readOnly)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = handles_.Open("the seen file");
    fileHandles_.insert(handle);
    return handle;
}

BOOL Files::Write(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written) {
    if (fileHandles_.count(file) == 0 || seen_.diskFull) {
        return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(buffer);
    if (size == 2 && bytes[0] == 0xFF && bytes[1] == 0xFE && seen_.zeroBytes) {
        seen_.zeroBytes = false;
        seen_.byteOrderMark = true;
    }
    if (written != nullptr) {
        *written = size;
    }
    return TRUE;
}

BOOL Files::Size(HANDLE file, PLARGE_INTEGER size) const {
    if (fileHandles_.count(file) == 0) {
        return FALSE;
    }
    size->QuadPart = seen_.zeroBytes ? 0 : 100;
    return TRUE;
}

}  // namespace sim
