#include "record_file.h"

#include <windows.h>

#include <string>

namespace {

// Another writer holds the file for one short write at a time; even a busy machine lets it go
// long before this.
constexpr ULONGLONG kTurnWaitMs = 20000;

}  // namespace

bool AppendRecordLine(const std::wstring& path, std::string_view line) {
    const std::string bytes = std::string(line) + "\n";
    const ULONGLONG deadline = GetTickCount64() + kTurnWaitMs;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (;;) {
        // No FILE_SHARE_WRITE: while this handle is open, no other writer can open the file, and
        // this one waits while another holds it. Readers (the tests read the file from Linux, or
        // with sharing) are not held up.
        file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount64() >= deadline) {
            break;
        }
        Sleep(1);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return wrote != FALSE && written == bytes.size();
}
