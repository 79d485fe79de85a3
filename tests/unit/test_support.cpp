#include "test_support.h"

#include "actions/notice_target.h"
#include "app/tray_window.h"
#include "core/startup_options.h"
#include "notices/notice.h"
#include "tray/tray_record.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

int folderCounter = 0;

}  // namespace

void LogicTest::SetUp() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"vestrel-logic-" + std::to_wstring(::GetCurrentProcessId()) +
             L"-" + std::to_wstring(++folderCounter);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    ResetProgramState();
}

void LogicTest::ResetProgramState() {
    fake::Reset();
    trayRecord = NOTIFYICONDATAW{};
    iconAdded = false;
    NoticeQueue.clear();
    currentNotice = Notice{};
    balloonShowing = false;
    balloonTicks = 0;
    requestedNoticeId.reset();
    noticesShownThisRun.clear();
    unreadableSeenPasses = 0;
    comTried = false;
    comStarted = false;
    trayWindow = nullptr;
    TaskbarCreatedMessage = 0;

    startupOptions = StartupOptions{};
    startupOptions.mutexName = L"VestrelTest";
    startupOptions.statePath = folder + L"\\state.ini";
    startupOptions.seenPath = folder + L"\\memory\\seen.ini";
    startupOptions.pythonwPath = L"C:\\Python\\pythonw.exe";
    startupOptions.launcherPath = L"C:\\App\\launch.py";
    Arrange();
}

void LogicTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::vector<unsigned char> Utf16LeWithBom(const std::vector<std::wstring>& lines) {
    std::vector<unsigned char> bytes = {0xFF, 0xFE};
    for (const std::wstring& line : lines) {
        for (wchar_t c : line + L"\r\n") {
            bytes.push_back(static_cast<unsigned char>(c & 0xFF));
            bytes.push_back(static_cast<unsigned char>((c >> 8) & 0xFF));
        }
    }
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

void LogicTest::WriteStateFile(const std::vector<std::wstring>& lines) {
    WriteFileBytes(startupOptions.statePath, Utf16LeWithBom(lines));
}

void LogicTest::WriteRunningState(const std::vector<std::wstring>& stateLines,
                                  const std::vector<std::wstring>& moreLines) {
    fake::script.processes[77] = fake::FakeProcess{};
    std::vector<std::wstring> lines = {
        L"[state]", L"written_unix=" + std::to_wstring(fake::script.unixNow), L"pid=77"};
    lines.insert(lines.end(), stateLines.begin(), stateLines.end());
    lines.insert(lines.end(), moreLines.begin(), moreLines.end());
    WriteStateFile(lines);
}

void LogicTest::WriteSeenFile(const std::vector<std::wstring>& lines) {
    std::filesystem::create_directories(
        std::filesystem::path(startupOptions.seenPath).parent_path());
    WriteFileBytes(startupOptions.seenPath, Utf16LeWithBom(lines));
}

std::wstring LogicTest::ReadSeen(const std::wstring& section, const std::wstring& key) const {
    wchar_t buffer[4096] = {};
    ::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer, 4096,
                               startupOptions.seenPath.c_str());
    return buffer;
}

std::vector<std::pair<DWORD, UINT>> NotifyRequests() {
    std::vector<std::pair<DWORD, UINT>> requests;
    for (const fake::Call& call : fake::CallsNamed("Shell_NotifyIconW")) {
        requests.emplace_back(static_cast<DWORD>(call.Number("message")), call.record.uFlags);
    }
    return requests;
}

std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            narrow += static_cast<char>(c);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            narrow += escaped;
        }
    }
    return narrow;
}

std::vector<std::string> Effects() {
    static const std::vector<std::string> kEffects = {
        "PostQuitMessage", "DefWindowProcW", "CreatePopupMenu",           "TrackPopupMenu",
        "CreateProcessW",  "ShellExecuteW",  "WritePrivateProfileStringW"};
    std::vector<std::string> effects;
    for (const fake::Call& call : fake::calls) {
        if (call.name == "Shell_NotifyIconW") {
            switch (call.Number("message")) {
                case NIM_ADD:
                    effects.push_back("NIM_ADD");
                    break;
                case NIM_MODIFY:
                    effects.push_back((call.record.uFlags & NIF_INFO) != 0 ? "NIM_MODIFY balloon"
                                                                           : "NIM_MODIFY");
                    break;
                case NIM_SETVERSION:
                    effects.push_back("NIM_SETVERSION");
                    break;
                case NIM_DELETE:
                    effects.push_back("NIM_DELETE");
                    break;
                default:
                    effects.push_back("NIM_?");
            }
        } else if (std::find(kEffects.begin(), kEffects.end(), call.name) != kEffects.end()) {
            effects.push_back(call.name);
        }
    }
    return effects;
}

std::vector<std::wstring> BalloonTitles() {
    std::vector<std::wstring> titles;
    for (const fake::Call& call : fake::CallsNamed("Shell_NotifyIconW")) {
        if (call.Number("message") == NIM_MODIFY && call.record.uFlags == NIF_INFO) {
            titles.emplace_back(call.record.szInfoTitle);
        }
    }
    return titles;
}
