// The floor of a timer tick: the Windows calls that one tick of the program makes on the worst
// steady state, in the same order with the same arguments, and nothing else. Whatever the program
// spends above this is its own work. `Calls` supplies the functions, so the same sequence runs
// against Windows in the benchmark and against the recording fake in the call check.
#pragma once

#include "worst_state.h"

#include <windows.h>
#include <shellapi.h>

#include <array>
#include <cstdint>

namespace bench {

template <typename Calls>
class FloorTick {
  public:
    FloorTick(const WorstStateFiles& files, const NOTIFYICONDATAW& record)
        : files_(files), record_(record) {}

    void Run() {
        // The window procedure finds the program's object.
        Calls::GetWindowLongPtrW(record_.hWnd, GWLP_USERDATA);

        // The tray icon refresh: status, title and status labels, one update of the icon.
        CheckCompanion();
        RefreshIcon();

        // The notice pass: status again, whether the seen file can be opened, the count, the
        // day of the last nudge, then each notice (its id read again after its texts, to catch
        // a rewrite in between) and its mark.
        CheckCompanion();
        CheckSeenFile();
        ReadNoticeCountAndNudgeDay();
        for (const std::wstring& section : files_.noticeSections) {
            Read(files_.statePath, section.c_str(), L"id", id_.data());
            ReadNoticeText(section);
            Read(files_.seenPath, L"shown", id_.data(), value_.data());
        }
    }

    // The same tick with two changes that keep its outcome: the companion's status is checked
    // once, and each notice's mark is read right after its id, so that a notice already shown
    // costs two reads instead of six. Run only to put a number on what they would save.
    void RunLean() {
        Calls::GetWindowLongPtrW(record_.hWnd, GWLP_USERDATA);
        CheckCompanion();
        RefreshIcon();
        CheckSeenFile();
        ReadNoticeCountAndNudgeDay();
        for (const std::wstring& section : files_.noticeSections) {
            Read(files_.statePath, section.c_str(), L"id", id_.data());
            Read(files_.seenPath, L"shown", id_.data(), value_.data());
            if (value_[0] == L'1' && value_[1] == L'\0') {
                continue;
            }
            ReadNoticeText(section);
        }
    }

  private:
    static constexpr DWORD kCapacity = 4096;

    void Read(const std::wstring& path, const wchar_t* section, const wchar_t* key,
              wchar_t* buffer) {
        Calls::GetPrivateProfileStringW(section, key, L"", buffer, kCapacity, path.c_str());
    }

    void ReadState(const wchar_t* key) { Read(files_.statePath, L"state", key, value_.data()); }

    void RefreshIcon() {
        ReadState(L"label_title");
        ReadState(L"label_running");
        Calls::Shell_NotifyIconW(NIM_MODIFY, &record_);
    }

    void ReadNoticeCountAndNudgeDay() {
        ReadState(L"notices");
        SYSTEMTIME today{};
        Calls::GetLocalTime(&today);
        Read(files_.seenPath, L"prefs", L"last_nudge_day", value_.data());
    }

    void ReadNoticeText(const std::wstring& section) {
        Read(files_.statePath, section.c_str(), L"kind", value_.data());
        Read(files_.statePath, section.c_str(), L"target", value_.data());
        Read(files_.statePath, section.c_str(), L"title", value_.data());
        Read(files_.statePath, section.c_str(), L"body", value_.data());
        Read(files_.statePath, section.c_str(), L"id", value_.data());
    }

    void CheckSeenFile() {
        Calls::GetFileAttributesW(files_.seenPath.c_str());
        HANDLE seen = Calls::CreateFileW(files_.seenPath.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        Calls::CloseHandle(seen);
    }

    void CheckCompanion() {
        Calls::GetFileAttributesW(files_.statePath.c_str());
        ReadState(L"written_unix");
        ReadState(L"pid");
        Calls::UnixTimeNow();
        HANDLE process =
            Calls::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, files_.companionPid);
        DWORD exitCode = 0;
        Calls::GetExitCodeProcess(process, &exitCode);
        Calls::CloseHandle(process);
        ReadState(L"status");
    }

    const WorstStateFiles& files_;
    // A copy of the program's record, tooltip included, as its ticks leave it.
    NOTIFYICONDATAW record_;
    // One buffer for every value and one for the id, which is the key of its mark: filled by
    // the reader alone, never cleared.
    std::array<wchar_t, kCapacity> value_{};
    std::array<wchar_t, kCapacity> id_{};
};

}  // namespace bench
