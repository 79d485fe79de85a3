#include "profile_text.h"

namespace profile_text {

namespace {

// A reader holds the old file only for the moment of one read; a second is plenty.
constexpr int kRenameAttempts = 40;
constexpr DWORD kRenamePauseMs = 25;

std::wstring RenderProfile(const Profile& profile) {
    std::wstring text;
    for (const Section& section : profile) {
        text += L"[" + section.name + L"]\r\n";
        for (const Key& key : section.keys) {
            text += key.name + L"=" + key.value + L"\r\n";
        }
    }
    return text;
}

}  // namespace

std::vector<unsigned char> Utf16LeWithBom(std::wstring_view text) {
    std::vector<unsigned char> bytes = {0xFF, 0xFE};
    bytes.reserve(2 + text.size() * 2);
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>((c >> 8) & 0xFF));
    }
    return bytes;
}

std::vector<unsigned char> EncodeProfile(const Profile& profile) {
    return Utf16LeWithBom(RenderProfile(profile));
}

DWORD WriteFileInOneStep(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    // One writer per process: the process id keeps two writers of one file apart.
    const std::wstring temporary = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    DWORD written = 0;
    const BOOL wrote =
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    DWORD error = wrote ? ERROR_SUCCESS : ::GetLastError();
    if (wrote && written != bytes.size()) {
        error = ERROR_WRITE_FAULT;
    }
    ::CloseHandle(file);

    for (int attempt = 1; error == ERROR_SUCCESS; ++attempt) {
        if (::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return ERROR_SUCCESS;
        }
        if (attempt == kRenameAttempts) {
            error = ::GetLastError();
        } else {
            ::Sleep(kRenamePauseMs);
        }
    }
    ::DeleteFileW(temporary.c_str());
    return error;
}

DWORD WriteProfileFile(const std::wstring& path, const Profile& profile) {
    return WriteFileInOneStep(path, EncodeProfile(profile));
}

}  // namespace profile_text
