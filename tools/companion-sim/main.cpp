// Plays the companion application for the demo and the end-to-end tests, started exactly as the
// tray program starts the real one:
//
//   companion-sim.exe -I "<scenario file>" [--screen NAME]
//
// The scenario file says where the state file is, what it holds and when each notice is listed
// (README.md beside this file). Every start and every request goes as one line to the record
// file, so that a test or the tour can tell what reached the companion's side.
#include "profile_text.h"
#include "record_file.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kWindowClass[] = L"VestrelCompanionSimWindow";
constexpr wchar_t kMutexName[] = L"Local\\VestrelCompanionSim";
constexpr UINT_PTR kClockTimerId = 1;
// Fine enough that a notice due at a whole second is listed within a quarter of it.
constexpr UINT kClockPeriodMs = 250;
// Marks a hand-over from a later start, so that a stray WM_COPYDATA is never taken for one.
constexpr ULONG_PTR kHandOverTag = 0x5653494D;
constexpr DWORD kHandOverWaitMs = 5000;
constexpr int kMaxNotices = 50;

constexpr int kExitDone = 0;
constexpr int kExitBadCommandLine = 2;
constexpr int kExitBadScenario = 3;
constexpr int kExitNotHandedOver = 4;
constexpr int kExitNoWindow = 5;

// ---------------------------------------------------------------------------------------------
// The scenario file

using Section = std::map<std::wstring, std::wstring>;
using Profile = std::map<std::wstring, Section>;

struct TimedNotice {
    int number = 0;
    ULONGLONG dueMs = 0;
    std::wstring id, kind, target, title, body;
};

struct Scenario {
    std::wstring statePath;
    std::wstring recordPath;
    std::wstring status;
    std::wstring role;
    std::wstring rtl;
    std::optional<ULONGLONG> updateWaitingAtMs;
    UINT heartbeatMs = 3000;
    std::vector<std::pair<std::wstring, std::wstring>> labels;
    std::vector<TimedNotice> notices;
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

std::wstring_view Trim(std::wstring_view text) {
    constexpr std::wstring_view kBlanks = L" \t\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::wstring_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Scenario files are kept in UTF-8 so that they read well in a diff; UTF-16LE with a byte-order
// mark, the profile files' own form, is taken too.
std::optional<std::wstring> ReadText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);

    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        std::copy_n(bytes.data() + 2, text.size() * 2, reinterpret_cast<char*>(text.data()));
        return text;
    }
    std::size_t start = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    const auto length = static_cast<int>(bytes.size() - start);
    if (length == 0) {
        return std::wstring{};
    }
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + start,
                                          length, nullptr, 0);
    if (units <= 0) {
        return std::nullopt;
    }
    std::wstring text(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + start, length, text.data(),
                        units);
    return text;
}

Profile ParseProfile(std::wstring_view text) {
    Profile profile;
    Section* current = nullptr;
    while (!text.empty()) {
        const std::size_t end = text.find(L'\n');
        const std::wstring_view line = Trim(text.substr(0, end));
        text = end == std::wstring_view::npos ? std::wstring_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == L';' || line.front() == L'#') {
            continue;
        }
        if (line.front() == L'[' && line.back() == L']') {
            current = &profile[Lower(std::wstring(Trim(line.substr(1, line.size() - 2))))];
            continue;
        }
        const std::size_t equals = line.find(L'=');
        if (current != nullptr && equals != std::wstring_view::npos) {
            (*current)[Lower(std::wstring(Trim(line.substr(0, equals))))] =
                std::wstring(Trim(line.substr(equals + 1)));
        }
    }
    return profile;
}

const std::wstring* Find(const Profile& profile, const std::wstring& section,
                         const std::wstring& key) {
    auto s = profile.find(section);
    if (s == profile.end()) {
        return nullptr;
    }
    auto k = s->second.find(key);
    return k == s->second.end() ? nullptr : &k->second;
}

std::wstring Get(const Profile& profile, const std::wstring& section, const std::wstring& key,
                 const std::wstring& fallback = L"") {
    const std::wstring* value = Find(profile, section, key);
    return value != nullptr ? *value : fallback;
}

ULONGLONG SecondsToMs(const std::wstring& text, ULONGLONG fallback) {
    if (text.empty()) {
        return fallback;
    }
    const double seconds = std::wcstod(text.c_str(), nullptr);
    return seconds > 0 ? static_cast<ULONGLONG>(seconds * 1000.0 + 0.5) : 0;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return path;
    }
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(size);
    return full;
}

// Environment variables are expanded, and a relative path counts from the scenario's folder, so
// that one scenario serves any copy of it and any work folder.
std::wstring ResolvePath(const std::wstring& value, const std::wstring& scenarioPath) {
    std::wstring expanded(32768, L'\0');
    const DWORD length =
        ExpandEnvironmentStringsW(value.c_str(), expanded.data(), static_cast<DWORD>(32768));
    expanded.resize(length > 0 ? length - 1 : 0);
    const bool absolute = (expanded.size() >= 2 && expanded[1] == L':') ||
                          expanded.rfind(L"\\", 0) == 0 || expanded.rfind(L"/", 0) == 0;
    if (absolute) {
        return FullPath(expanded);
    }
    const std::size_t slash = scenarioPath.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : scenarioPath.substr(0, slash);
    return FullPath(folder + L"\\" + expanded);
}

std::optional<Scenario> LoadScenario(const std::wstring& path) {
    const std::optional<std::wstring> text = ReadText(path);
    if (!text) {
        return std::nullopt;
    }
    const Profile profile = ParseProfile(*text);
    const std::wstring statePath = Get(profile, L"companion", L"state");
    const std::wstring recordPath = Get(profile, L"companion", L"record");
    if (statePath.empty() || recordPath.empty()) {
        return std::nullopt;
    }

    Scenario scenario;
    scenario.statePath = ResolvePath(statePath, path);
    scenario.recordPath = ResolvePath(recordPath, path);
    scenario.status = Get(profile, L"companion", L"status", L"running");
    scenario.role = Get(profile, L"companion", L"role");
    scenario.rtl = Get(profile, L"companion", L"rtl", L"0");
    if (const std::wstring* at = Find(profile, L"companion", L"update_waiting_at")) {
        scenario.updateWaitingAtMs = SecondsToMs(*at, 0);
    }
    // The contract asks for a heartbeat well inside 90 seconds; faster is only more writes.
    scenario.heartbeatMs = static_cast<UINT>(std::clamp<ULONGLONG>(
        SecondsToMs(Get(profile, L"companion", L"heartbeat"), 3000), 250, 30000));
    for (const wchar_t* name :
         {L"title", L"stopped", L"running", L"update_waiting", L"open", L"stop", L"mute"}) {
        if (const std::wstring* label = Find(profile, L"labels", name)) {
            scenario.labels.emplace_back(name, *label);
        }
    }
    for (int number = 1; number <= kMaxNotices; ++number) {
        const std::wstring section = L"notice" + std::to_wstring(number);
        if (profile.find(section) == profile.end()) {
            continue;
        }
        TimedNotice notice;
        notice.number = number;
        notice.dueMs = SecondsToMs(Get(profile, section, L"at"), 0);
        notice.id = Get(profile, section, L"id");
        notice.kind = Get(profile, section, L"kind");
        notice.target = Get(profile, section, L"target");
        notice.title = Get(profile, section, L"title");
        notice.body = Get(profile, section, L"body");
        scenario.notices.push_back(std::move(notice));
    }
    return scenario;
}

// ---------------------------------------------------------------------------------------------
// The record file

std::string Utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const auto length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    return out;
}

// A later start records while this one does: each line goes whole, and none is lost.
void Record(const std::wstring& recordPath, const std::wstring& line) {
    AppendRecordLine(recordPath, Utf8(line));
}

std::wstring Pid(DWORD pid) {
    return L"pid=" + std::to_wstring(pid);
}

// ---------------------------------------------------------------------------------------------
// The running companion

struct Companion {
    Scenario scenario;
    DWORD pid = 0;
    ULONGLONG startedMs = 0;
    ULONGLONG lastWriteMs = 0;
    std::vector<bool> listed;
    bool updateWaiting = false;
    HWND window = nullptr;
};

Companion companion;

void Note(const std::wstring& line) {
    Record(companion.scenario.recordPath, line);
}

profile_text::Profile StateProfile(bool alive) {
    const Scenario& scenario = companion.scenario;
    std::vector<profile_text::Key> keys = {
        {L"written_unix",
         alive ? std::to_wstring(static_cast<long long>(std::time(nullptr))) : L"0"},
        {L"pid", alive ? std::to_wstring(companion.pid) : L"0"},
        {L"status", companion.updateWaiting ? L"update_waiting" : scenario.status},
        {L"role", scenario.role},
        {L"rtl", scenario.rtl},
    };
    for (const auto& [name, text] : scenario.labels) {
        keys.push_back({L"label_" + name, text});
    }
    // Numbers stay those of the scenario, gaps and all, so the order among notices listed in one
    // write is the one the scenario gives.
    int highest = 0;
    for (std::size_t i = 0; i < scenario.notices.size(); ++i) {
        if (companion.listed[i]) {
            highest = std::max(highest, scenario.notices[i].number);
        }
    }
    keys.push_back({L"notices", std::to_wstring(alive ? highest : 0)});

    profile_text::Profile profile = {{L"state", keys}};
    for (std::size_t i = 0; alive && i < scenario.notices.size(); ++i) {
        if (!companion.listed[i]) {
            continue;
        }
        const TimedNotice& notice = scenario.notices[i];
        profile.push_back({L"notice" + std::to_wstring(notice.number),
                           {{L"id", notice.id},
                            {L"kind", notice.kind},
                            {L"target", notice.target},
                            {L"title", notice.title},
                            {L"body", notice.body}}});
    }
    return profile;
}

// The tray program reads each key with a call of its own at any moment: it must only ever see a
// whole old file or a whole new one, so the profile writer renames a complete copy over the old
// file (and tries again while a reader holds it).
bool WriteState(bool alive) {
    const DWORD error =
        profile_text::WriteProfileFile(companion.scenario.statePath, StateProfile(alive));
    if (error != ERROR_SUCCESS) {
        Note(L"write-failed " + Pid(companion.pid) + L" error=" + std::to_wstring(error));
        return false;
    }
    companion.lastWriteMs = GetTickCount64();
    return true;
}

void Stop(DWORD from) {
    Note(L"stop " + Pid(companion.pid) + L" from=" + std::to_wstring(from));
    KillTimer(companion.window, kClockTimerId);
    // Without a live heartbeat the tray shows "stopped" at its next read; the labels stay.
    WriteState(false);
    Note(L"exit " + Pid(companion.pid));
    DestroyWindow(companion.window);
}

void HandleRequest(const std::wstring& screen, DWORD from) {
    if (screen == L"stop") {
        Stop(from);
    } else if (screen.empty()) {
        Note(L"open " + Pid(companion.pid) + L" from=" + std::to_wstring(from));
    } else {
        Note(L"screen " + Pid(companion.pid) + L" name=" + screen + L" from=" +
             std::to_wstring(from));
    }
}

// Lists the notices and the status change that have come due; true when the file must change.
bool CatchUp() {
    const Scenario& scenario = companion.scenario;
    const ULONGLONG elapsed = GetTickCount64() - companion.startedMs;
    bool changed = false;
    for (std::size_t i = 0; i < scenario.notices.size(); ++i) {
        if (!companion.listed[i] && scenario.notices[i].dueMs <= elapsed) {
            Note(L"list " + Pid(companion.pid) + L" id=" + scenario.notices[i].id);
            companion.listed[i] = true;
            changed = true;
        }
    }
    if (!companion.updateWaiting && scenario.updateWaitingAtMs &&
        *scenario.updateWaitingAtMs <= elapsed) {
        companion.updateWaiting = true;
        Note(L"status " + Pid(companion.pid) + L" value=update_waiting");
        changed = true;
    }
    return changed;
}

void OnClock() {
    const bool changed = CatchUp();
    if (changed || GetTickCount64() - companion.lastWriteMs >= companion.scenario.heartbeatMs) {
        WriteState(true);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            OnClock();
            return 0;
        case WM_COPYDATA: {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data->dwData != kHandOverTag || data->cbData < sizeof(DWORD)) {
                return FALSE;
            }
            DWORD from = 0;
            std::copy_n(static_cast<const char*>(data->lpData), sizeof from,
                        reinterpret_cast<char*>(&from));
            std::wstring screen((data->cbData - sizeof from) / sizeof(wchar_t), L'\0');
            std::copy_n(static_cast<const char*>(data->lpData) + sizeof from,
                        screen.size() * sizeof(wchar_t), reinterpret_cast<char*>(screen.data()));
            // Answered first, so that the later start is not kept waiting while this one stops.
            ReplyMessage(TRUE);
            HandleRequest(screen, from);
            return TRUE;
        }
        case WM_CLOSE:
            Stop(0);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

int RunCompanion(HINSTANCE instance, const std::wstring& screen) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    // Message-only: nothing to show, and later starts find it by class name.
    companion.window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       instance, nullptr);
    if (companion.window == nullptr) {
        Note(L"no-window " + Pid(companion.pid) + L" error=" + std::to_wstring(GetLastError()));
        return kExitNoWindow;
    }
    companion.startedMs = GetTickCount64();
    companion.listed.assign(companion.scenario.notices.size(), false);
    CatchUp();
    WriteState(true);
    // Written after the first state file, so whoever reads this line finds the heartbeat there.
    Note(L"running " + Pid(companion.pid));
    SetTimer(companion.window, kClockTimerId, kClockPeriodMs, nullptr);
    if (!screen.empty()) {
        HandleRequest(screen, companion.pid);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return kExitDone;
}

// A later start passes its request to the running companion, as the real launcher must.
int HandOver(const std::wstring& screen) {
    HWND running = nullptr;
    const ULONGLONG deadline = GetTickCount64() + kHandOverWaitMs;
    // The running one may hold the mutex a moment before its window exists.
    while ((running = FindWindowExW(HWND_MESSAGE, nullptr, kWindowClass, nullptr)) == nullptr &&
           GetTickCount64() < deadline) {
        Sleep(20);
    }
    DWORD runningPid = 0;
    if (running != nullptr) {
        GetWindowThreadProcessId(running, &runningPid);
        std::string payload(sizeof companion.pid + screen.size() * sizeof(wchar_t), '\0');
        std::copy_n(reinterpret_cast<const char*>(&companion.pid), sizeof companion.pid,
                    payload.data());
        std::copy_n(reinterpret_cast<const char*>(screen.data()), screen.size() * sizeof(wchar_t),
                    payload.data() + sizeof companion.pid);
        COPYDATASTRUCT data{kHandOverTag, static_cast<DWORD>(payload.size()), payload.data()};
        DWORD_PTR answer = FALSE;
        if (SendMessageTimeoutW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                SMTO_ABORTIFHUNG, kHandOverWaitMs, &answer) &&
            answer == TRUE) {
            Note(L"handed " + Pid(companion.pid) + L" to=" + std::to_wstring(runningPid));
            return kExitDone;
        }
    }
    Note(L"not-handed " + Pid(companion.pid) + L" to=" + std::to_wstring(runningPid));
    return kExitNotHandedOver;
}

bool IsScreenName(std::wstring_view name) {
    return !name.empty() && name.size() <= 32 &&
           std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= L'a' && c <= L'z'; });
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return kExitBadCommandLine;
    }
    const std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);

    // Exactly the two forms the tray program builds; anything else shows a fault on its side.
    const bool wellFormed =
        (args.size() == 3 || (args.size() == 5 && args[3] == L"--screen")) && args[1] == L"-I";
    if (args.size() < 3) {
        return kExitBadCommandLine;
    }
    std::optional<Scenario> scenario = LoadScenario(args[2]);
    if (!scenario) {
        return kExitBadScenario;
    }
    companion.scenario = std::move(*scenario);
    companion.pid = GetCurrentProcessId();
    const std::wstring screen = args.size() == 5 ? args[4] : L"";

    Note(L"start " + Pid(companion.pid) + L" screen=" + screen);
    if (!wellFormed || (!screen.empty() && !IsScreenName(screen))) {
        Note(L"refused " + Pid(companion.pid) + L" command-line=" + GetCommandLineW());
        return kExitBadCommandLine;
    }

    HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex == nullptr) {
        Note(L"no-mutex " + Pid(companion.pid) + L" error=" + std::to_wstring(GetLastError()));
        return kExitNotHandedOver;
    }
    int code = kExitDone;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        code = HandOver(screen);
    } else if (screen == L"stop") {
        // Nothing runs that could stop, and "stop" must not start the companion.
        Note(L"not-running " + Pid(companion.pid));
    } else {
        code = RunCompanion(instance, screen);
    }
    CloseHandle(mutex);
    return code;
}
