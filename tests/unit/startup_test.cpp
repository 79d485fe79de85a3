#include "app/startup.h"

#include "app/options.h"
#include "app/tray_window.h"
#include "notices/notice_queue.h"
#include "test_support.h"
#include "tray/tray_record.h"

namespace {

class RunTrayCompanionTest : public LogicTest {
  protected:
    void SetUp() override {
        LogicTest::SetUp();
        fake::script.commandLine = L"tray.exe --mutex Vestrel.Tray --state \"" +
                                   startupOptions.statePath + L"\" --seen \"" +
                                   startupOptions.seenPath + L"\" --pythonw p.exe --launcher l.py";
    }

    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(0x400000);
};

TEST_F(RunTrayCompanionTest, ExitCodesOfTheEarlyEnds) {
    struct Case {
        const char* name;
        std::wstring commandLine;
        fake::MutexAnswer mutex;
        bool windowFails;
        int exitCode;
        std::vector<std::string> lastCalls;
    };
    const std::wstring full = fake::script.commandLine;
    const Case cases[] = {
        {"options missing",
         L"tray.exe --mutex M",
         fake::MutexAnswer::Created,
         false,
         2,
         {"LocalFree"}},
        {"another instance",
         full,
         fake::MutexAnswer::AlreadyExists,
         false,
         0,
         {"CreateMutexW", "GetLastError", "CloseHandle"}},
        {"mutex refused", full, fake::MutexAnswer::Fails, false, 0, {"CreateMutexW"}},
        {"no window",
         full,
         fake::MutexAnswer::Created,
         true,
         3,
         {"RegisterClassW", "CreateWindowExW", "CloseHandle"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        startupOptions = StartupOptions{};
        fake::script.commandLine = c.commandLine;
        fake::script.mutex = c.mutex;
        fake::script.windowFails = c.windowFails;

        EXPECT_EQ(RunTrayCompanion(instance), c.exitCode);

        const auto names = fake::CallNames();
        ASSERT_GE(names.size(), c.lastCalls.size());
        EXPECT_EQ(std::vector<std::string>(
                      names.end() - static_cast<std::ptrdiff_t>(c.lastCalls.size()), names.end()),
                  c.lastCalls);
        // None of them reads the state file or touches the notification area.
        EXPECT_TRUE(fake::CallsNamed("GetPrivateProfileStringW").empty());
        EXPECT_TRUE(fake::CallsNamed("Shell_NotifyIconW").empty());
    }
}

TEST_F(RunTrayCompanionTest, StartsInOrderShowsDueNoticeBeforeFirstTickAndEndsWithZero) {
    WriteRunningState({L"notices=1", L"label_title=Vestrel"},
                      {L"[notice1]", L"id=n1", L"kind=info", L"title=Hello"});
    // A tick arrives, then the window is destroyed from outside; the quit carries exit value 5,
    // which the program does not pass on.
    MSG tick{fake::kTrayWindowHandle, WM_TIMER, 1, 0, 0, {}};
    MSG destroy{fake::kTrayWindowHandle, WM_DESTROY, 0, 0, 0, {}};
    fake::script.messages = {tick, destroy};

    EXPECT_EQ(RunTrayCompanion(instance), 0);

    const auto effects = Effects();
    EXPECT_EQ(effects, (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION", "NIM_MODIFY balloon",
                                                 "WritePrivateProfileStringW", "NIM_MODIFY",
                                                 "NIM_DELETE", "PostQuitMessage"}));

    const auto names = fake::CallNames(
        {"GetPrivateProfileStringW", "GetFileAttributesW", "UnixTimeNow", "OpenProcess",
         "GetExitCodeProcess", "CloseHandle", "GetLocalTime", "SHCreateDirectoryExW", "CreateFileW",
         "WriteFile", "WritePrivateProfileStringW", "TranslateMessage", "DispatchMessageW",
         "GetMessageW", "Shell_NotifyIconW", "PostQuitMessage"});
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  "GetCommandLineW", "CommandLineToArgvW", "LocalFree", "CreateMutexW",
                  "GetLastError", "RegisterClassW", "CreateWindowExW", "RegisterWindowMessageW",
                  "GetSystemMetrics", "GetSystemMetrics", "LoadImageW", "SetTimer"}));

    const fake::Call mutex = fake::CallsNamed("CreateMutexW")[0];
    EXPECT_EQ(mutex.texts[0], L"Vestrel.Tray");
    EXPECT_EQ(mutex.numbers, (std::vector<std::uint64_t>{0, TRUE}));

    const fake::Call windowClass = fake::CallsNamed("RegisterClassW")[0];
    EXPECT_EQ(windowClass.texts[0], L"VestrelTrayWindow");
    // style, instance, icon, cursor, brush, class and window extra bytes
    EXPECT_EQ(windowClass.numbers, (std::vector<std::uint64_t>{0, 0x400000, 0, 0, 0, 0, 0}));
    const fake::Call window = fake::CallsNamed("CreateWindowExW")[0];
    EXPECT_EQ(window.texts, (std::vector<std::wstring>{L"VestrelTrayWindow", L""}));
    EXPECT_EQ(window.numbers,
              (std::vector<std::uint64_t>{0, WS_OVERLAPPED, 0, 0, 0, 0, 0, 0, 0x400000, 0}));
    EXPECT_EQ(fake::CallsNamed("RegisterWindowMessageW")[0].texts[0], L"TaskbarCreated");
    EXPECT_EQ(fake::CallsNamed("LoadImageW")[0].numbers,
              (std::vector<std::uint64_t>{0x400000, 1, IMAGE_ICON, 20, 21, 0}));
    EXPECT_EQ(
        fake::CallsNamed("SetTimer")[0].numbers,
        (std::vector<std::uint64_t>{fake::HandleValue(fake::kTrayWindowHandle), 1, 10000, 0}));
    EXPECT_EQ(fake::CallsNamed("GetMessageW")[0].numbers, (std::vector<std::uint64_t>{0, 0, 0}));
    // The mutex is held until the loop has ended.
    EXPECT_EQ(fake::CallsNamed("CloseHandle").back().numbers[0],
              fake::HandleValue(fake::kMutexHandle));
    EXPECT_EQ(fake::calls.back().name, "CloseHandle");
    EXPECT_EQ(ReadSeen(L"shown", L"n1"), L"1");
}

TEST_F(RunTrayCompanionTest, QuitFromElsewhereEndsWithZeroWithoutRemovingIcon) {
    WriteRunningState({});
    MSG quit{nullptr, WM_QUIT, 5, 0, 0, {}};
    fake::script.messages = {quit};
    EXPECT_EQ(RunTrayCompanion(instance), 0);
    EXPECT_EQ(Effects(), (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION"}));
}

}  // namespace
