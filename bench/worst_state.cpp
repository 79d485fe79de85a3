#include "worst_state.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>

namespace bench {

namespace {

// About a hundred characters, the length of a real notice text.
constexpr wchar_t kBody[] =
    L"A new version is ready to install. Save your work, then choose Open to restart the app now.";

std::wstring StateText(const WorstStateFiles& files, std::int64_t writtenUnix) {
    std::wstring text = L"[state]\r\n";
    text += L"written_unix=" + std::to_wstring(writtenUnix) + L"\r\n";
    text += L"pid=" + std::to_wstring(files.companionPid) + L"\r\n";
    text += L"status=running\r\n";
    text += L"notices=" + std::to_wstring(kNoticeCount) + L"\r\n";
    text += L"role=server\r\n";
    text += L"label_title=Vestrel\r\n";
    text += L"label_stopped=Stopped\r\n";
    text += L"label_running=Running\r\n";
    text += L"label_update_waiting=Update waiting\r\n";
    text += L"label_open=&Open Vestrel\r\n";
    text += L"label_stop=&Stop\r\n";
    text += L"label_mute=&Mute tips\r\n";
    for (int index = 1; index <= kNoticeCount; ++index) {
        text += L"[notice" + std::to_wstring(index) + L"]\r\n";
        text += L"id=" + NoticeId(index) + L"\r\n";
        text += std::wstring(L"kind=") + (index % 3 == 0 ? L"danger" : L"info") + L"\r\n";
        text += L"target=https://vestrel.app/notices/" + std::to_wstring(index) + L"\r\n";
        text += L"title=Notice number " + std::to_wstring(index) + L"\r\n";
        text += std::wstring(L"body=") + kBody + L" (" + std::to_wstring(index) + L")\r\n";
    }
    return text;
}

std::wstring SeenText() {
    std::wstring text = L"[prefs]\r\nlast_nudge_day=20000101\r\n[shown]\r\n";
    for (int index = 1; index <= kNoticeCount; ++index) {
        text += NoticeId(index) + L"=1\r\n";
    }
    return text;
}

void WriteUtf16File(const std::wstring& path, const std::wstring& text) {
    // Readers never see half a file: write beside it, then replace it in one step.
    const std::wstring temporary = path + L".new";
    HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fwprintf(stderr, L"cannot write %ls (error %lu)\n", temporary.c_str(),
                      ::GetLastError());
        std::exit(2);
    }
    static constexpr BYTE kByteOrderMark[] = {0xFF, 0xFE};
    DWORD written = 0;
    ::WriteFile(file, kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
    // wchar_t is UTF-16LE on Windows, so the text goes out as it is in memory.
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
                nullptr);
    ::CloseHandle(file);
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        std::fwprintf(stderr, L"cannot replace %ls (error %lu)\n", path.c_str(), ::GetLastError());
        std::exit(2);
    }
}

}  // namespace

std::wstring NoticeId(int index) {
    wchar_t id[32] = {};
    std::swprintf(id, std::size(id), L"release-note-%03d", index);
    return id;
}

WorstStateFiles WriteWorstState(const std::wstring& folder, DWORD companionPid,
                                std::int64_t writtenUnix) {
    WorstStateFiles files;
    files.statePath = folder + L"\\state.ini";
    files.seenPath = folder + L"\\seen.ini";
    files.companionPid = companionPid;
    for (int index = 1; index <= kNoticeCount; ++index) {
        files.noticeSections.push_back(L"notice" + std::to_wstring(index));
    }
    WriteUtf16File(files.statePath, StateText(files, writtenUnix));
    WriteUtf16File(files.seenPath, SeenText());
    return files;
}

void RefreshHeartbeat(const WorstStateFiles& files, std::int64_t writtenUnix) {
    WriteUtf16File(files.statePath, StateText(files, writtenUnix));
}

}  // namespace bench
