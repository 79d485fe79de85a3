#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

int folderCounter = 0;

// A test file that cannot be written would make every check after it meaningless.
void RequireWritten(DWORD error, const std::wstring& path) {
    if (error != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write " + Narrow(path) + ": Windows error " +
                                 std::to_string(error));
    }
}

}  // namespace

void TrayParts::AddIcon(fake::Platform& fake) {
    icon.InitTrayRecord(fake::kTrayWindowHandle, nullptr);
    icon.RefreshTrayIcon();
    fake.calls.clear();
}

void LogicTest::SetUp() {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"vestrel-logic-" + std::to_wstring(::GetCurrentProcessId()) +
             L"-" + std::to_wstring(++folderCounter);
    options.mutexName = L"VestrelTest";
    options.statePath = folder + L"\\state.ini";
    options.seenPath = folder + L"\\memory\\seen.ini";
    options.pythonwPath = L"C:\\Python\\pythonw.exe";
    options.launcherPath = L"C:\\App\\launch.py";
    StartRow();
}

void LogicTest::StartRow() {
    fake.emplace();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
}

void LogicTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

Notice MakeNotice(std::wstring id, NoticeKind kind, std::wstring title, std::wstring body,
                  std::wstring target) {
    return Notice{.id = std::move(id),
                  .kind = kind,
                  .target = std::move(target),
                  .title = std::move(title),
                  .body = std::move(body)};
}

profile_text::Section NoticeSection(int index, const std::wstring& id, const std::wstring& kind,
                                    const NoticeTexts& texts) {
    const std::wstring title = texts.title.value_or(id);
    return {L"notice" + std::to_wstring(index),
            {{L"id", id},
             {L"kind", kind},
             {L"target", texts.target},
             {L"title", title},
             {L"body", texts.body.value_or(L"About " + title)}}};
}

void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    RequireWritten(profile_text::WriteFileInOneStep(path, bytes), path);
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

void LogicTest::WriteStateFile(const profile_text::Profile& profile) const {
    RequireWritten(profile_text::WriteProfileFile(options.statePath, profile), options.statePath);
}

void LogicTest::WriteRunningState(const std::vector<profile_text::Key>& stateKeys,
                                  const profile_text::Profile& moreSections) {
    fake->script.processes[77] = fake::FakeProcess{};
    profile_text::Profile profile = {
        {L"state", {{L"written_unix", std::to_wstring(fake->script.unixNow)}, {L"pid", L"77"}}}};
    std::vector<profile_text::Key>& state = profile.front().keys;
    state.insert(state.end(), stateKeys.begin(), stateKeys.end());
    profile.insert(profile.end(), moreSections.begin(), moreSections.end());
    WriteStateFile(profile);
}

void LogicTest::WriteSeenFile(const profile_text::Profile& profile) const {
    std::filesystem::create_directories(std::filesystem::path(options.seenPath).parent_path());
    RequireWritten(profile_text::WriteProfileFile(options.seenPath, profile), options.seenPath);
}

std::wstring LogicTest::ReadSeen(const std::wstring& section, const std::wstring& key) const {
    wchar_t buffer[4096] = {};
    ::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer, 4096,
                               options.seenPath.c_str());
    return buffer;
}

std::string CallLabel(const fake::Call& call) {
    if (call.name != "Shell_NotifyIconW") {
        return call.name;
    }
    switch (call.Number("message")) {
        case NIM_ADD:
            return "NIM_ADD";
        case NIM_MODIFY:
            return (call.record.uFlags & NIF_INFO) != 0 ? "NIM_MODIFY balloon" : "NIM_MODIFY";
        case NIM_SETVERSION:
            return "NIM_SETVERSION";
        case NIM_DELETE:
            return "NIM_DELETE";
        case NIM_SETFOCUS:
            return "NIM_SETFOCUS";
        default:
            return "NIM_?";
    }
}

std::vector<std::string> LogicTest::Effects() const {
    static const std::vector<std::string> kEffects = {
        "PostQuitMessage", "CreatePopupMenu", "TrackPopupMenu",
        "CreateProcessW",  "ShellExecuteW",   "WritePrivateProfileStringW"};
    std::vector<std::string> effects;
    for (const fake::Call& call : fake->calls) {
        if (call.name == "Shell_NotifyIconW" ||
            std::find(kEffects.begin(), kEffects.end(), call.name) != kEffects.end()) {
            effects.push_back(CallLabel(call));
        }
    }
    return effects;
}

void LogicTest::ExpectInOrder(const std::vector<std::string>& labels) const {
    const std::vector<fake::Call>& calls = fake->calls;
    auto next = calls.begin();
    for (const std::string& label : labels) {
        next = std::find_if(next, calls.end(),
                            [&label](const fake::Call& call) { return CallLabel(call) == label; });
        if (next == calls.end()) {
            std::ostringstream made;
            for (const fake::Call& call : calls) {
                made << "\n  " << CallLabel(call);
            }
            ADD_FAILURE() << "no " << label << " after the calls before it in the order expected;"
                          << " the calls made:" << made.str();
            return;
        }
        ++next;
    }
}

std::vector<std::wstring> LogicTest::BalloonTitles() const {
    std::vector<std::wstring> titles;
    for (const fake::Call& call : fake->CallsNamed("Shell_NotifyIconW")) {
        if (call.Number("message") == NIM_MODIFY && (call.record.uFlags & NIF_INFO) != 0) {
            titles.emplace_back(call.record.szInfoTitle);
        }
    }
    return titles;
}

std::vector<std::wstring> QueueIds(const Balloons& balloons) {
    std::vector<std::wstring> ids;
    for (const Notice& notice : balloons.Queue()) {
        ids.push_back(notice.id);
    }
    return ids;
}
