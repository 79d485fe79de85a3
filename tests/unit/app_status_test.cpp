#include "companion/app_status.h"

#include "core/startup_options.h"
#include "test_support.h"

#include <filesystem>
#include <optional>

namespace {

class EvaluateAppStatusTest : public LogicTest {};

constexpr std::int64_t kNow = 1'780'000'000;

struct StatusCase {
    const char* name;
    std::wstring writtenUnix;  // "-" leaves the key out
    std::wstring pid;
    std::wstring status;
    AppStatus expected;
    bool opensProcess;
    DWORD openedId = 0;
};

TEST_F(EvaluateAppStatusTest, DecidesFromHeartbeatProcessAndStatus) {
    const std::wstring now = std::to_wstring(kNow);
    const StatusCase cases[] = {
        {"fresh", now, L"77", L"", AppStatus::Running, true, 77},
        {"90 s old is fresh", std::to_wstring(kNow - 90), L"77", L"", AppStatus::Running, true, 77},
        {"91 s old is stale", std::to_wstring(kNow - 91), L"77", L"", AppStatus::Stopped, false},
        {"90 s ahead is fresh", std::to_wstring(kNow + 90), L"77", L"", AppStatus::Running, true,
         77},
        {"91 s ahead is stale", std::to_wstring(kNow + 91), L"77", L"", AppStatus::Stopped, false},
        {"heartbeat missing", L"-", L"77", L"", AppStatus::Stopped, false},
        {"heartbeat empty", L"", L"77", L"", AppStatus::Stopped, false},
        {"heartbeat zero", L"0", L"77", L"", AppStatus::Stopped, false},
        {"heartbeat negative", L"-5", L"77", L"", AppStatus::Stopped, false},
        {"heartbeat a word", L"soon", L"77", L"", AppStatus::Stopped, false},
        {"heartbeat with fraction and sign", L"+" + now + L".9", L"77", L"", AppStatus::Running,
         true, 77},
        {"pid missing", now, L"-", L"", AppStatus::Stopped, false},
        {"pid zero", now, L"0", L"", AppStatus::Stopped, false},
        {"pid 2^32", now, L"4294967296", L"", AppStatus::Stopped, false},
        {"pid 2^32+4", now, L"4294967300", L"", AppStatus::Running, true, 4},
        {"pid -1", now, L"-1", L"", AppStatus::Stopped, true, 0xFFFFFFFF},
        {"no such process", now, L"88", L"", AppStatus::Stopped, true, 88},
        {"process ended", now, L"99", L"", AppStatus::Stopped, true, 99},
        {"exit code unreadable", now, L"98", L"", AppStatus::Stopped, true, 98},
        {"ended with exit code 259", now, L"97", L"", AppStatus::Running, true, 97},
        {"update waiting", now, L"77", L"update_waiting", AppStatus::UpdateWaiting, true, 77},
        {"update waiting in capitals", now, L"77", L"Update_Waiting", AppStatus::Running, true, 77},
        {"status stopped", now, L"77", L"stopped", AppStatus::Running, true, 77},
        {"status running", now, L"77", L"running", AppStatus::Running, true, 77},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        fake->script.unixNow = kNow;
        fake->script.processes[77] = fake::FakeProcess{};
        fake->script.processes[4] = fake::FakeProcess{};
        fake->script.processes[0xFFFFFFFF] = fake::FakeProcess{true, true, 1};
        fake->script.processes[99] = fake::FakeProcess{true, true, 0};
        fake->script.processes[98] = fake::FakeProcess{true, false, STILL_ACTIVE};
        fake->script.processes[97] = fake::FakeProcess{true, true, 259};
        std::vector<profile_text::Key> state;
        if (c.writtenUnix != L"-") {
            state.push_back({L"written_unix", c.writtenUnix});
        }
        if (c.pid != L"-") {
            state.push_back({L"pid", c.pid});
        }
        state.push_back({L"status", c.status});
        WriteStateFile({{L"state", state}});

        // The process to let come forward is the one the state names, only while it runs.
        const std::optional<DWORD> running =
            RunningCompanionProcessId(StateFile(options.statePath));
        if (c.expected == AppStatus::Stopped) {
            EXPECT_FALSE(running.has_value());
        } else {
            EXPECT_EQ(running, std::optional<DWORD>(c.openedId));
        }
        fake->calls.clear();

        EXPECT_EQ(EvaluateAppStatus(StateFile(options.statePath)), c.expected);

        const std::vector<fake::Call> opened = fake->CallsNamed("OpenProcess");
        if (!c.opensProcess) {
            EXPECT_TRUE(opened.empty());
            continue;
        }
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0].Number("access"),
                  static_cast<std::uint64_t>(PROCESS_QUERY_LIMITED_INFORMATION));
        EXPECT_EQ(opened[0].Number("inherit"), static_cast<std::uint64_t>(FALSE));
        EXPECT_EQ(opened[0].Number("processId"), c.openedId);
        // A handle that was opened is closed before the call returns.
        const auto closes = fake->CallsNamed("CloseHandle");
        if (fake->script.processes.count(c.openedId) != 0) {
            ASSERT_EQ(closes.size(), 1u);
            EXPECT_EQ(closes[0].Number("handle"), fake::kOpenedProcessBase + c.openedId);
        }
        // The status key is read only for a live process.
        const bool readStatus =
            std::any_of(fake->calls.begin(), fake->calls.end(), [](const fake::Call& call) {
                return call.name == "GetPrivateProfileStringW" && call.Text("key") == L"status";
            });
        EXPECT_EQ(readStatus, c.expected != AppStatus::Stopped);
    }
}

TEST_F(EvaluateAppStatusTest, ReadsTheClockAfterBothValues) {
    WriteRunningState({});
    EvaluateAppStatus(StateFile(options.statePath));
    const auto names = fake->CallNames({"GetExitCodeProcess", "CloseHandle", "OpenProcess"});
    EXPECT_EQ(names, (std::vector<std::string>{"GetFileAttributesW", "GetPrivateProfileStringW",
                                               "GetPrivateProfileStringW", "UnixTimeNow",
                                               "GetPrivateProfileStringW"}));
}

TEST_F(EvaluateAppStatusTest, MissingFileOrFolderIsStoppedWithoutReading) {
    EXPECT_EQ(EvaluateAppStatus(StateFile(options.statePath)), AppStatus::Stopped);
    std::filesystem::create_directories(options.statePath);
    EXPECT_EQ(EvaluateAppStatus(StateFile(options.statePath)), AppStatus::Stopped);
    EXPECT_TRUE(fake->CallsNamed("GetPrivateProfileStringW").empty());
    EXPECT_TRUE(fake->CallsNamed("OpenProcess").empty());
}

}  // namespace
