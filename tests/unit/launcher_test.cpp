#include "actions/launcher.h"

#include "test_support.h"

#include <algorithm>
#include <optional>

namespace {

class LaunchAppTest : public LogicTest {};

TEST_F(LaunchAppTest, BuildsTheCommandLinePieceByPiece) {
    struct Case {
        const char* name;
        std::wstring pythonw;
        std::wstring launcher;
        std::wstring screen;
        std::wstring commandLine;
    };
    const std::wstring letters32 = L"abcdefghijklmnopqrstuvwxyzabcdef";
    const Case cases[] = {
        {"no screen", L"C:\\Py\\pythonw.exe", L"C:\\App\\run.py", L"",
         L"\"C:\\Py\\pythonw.exe\" -I \"C:\\App\\run.py\""},
        {"stop", L"C:\\Py\\pythonw.exe", L"C:\\App\\run.py", L"stop",
         L"\"C:\\Py\\pythonw.exe\" -I \"C:\\App\\run.py\" --screen stop"},
        {"32 letters", L"p.exe", L"l.py", letters32,
         L"\"p.exe\" -I \"l.py\" --screen " + letters32},
        {"blanks in paths", L"C:\\Program Files\\Py\\pythonw.exe", L"C:\\My App\\run.py", L"",
         L"\"C:\\Program Files\\Py\\pythonw.exe\" -I \"C:\\My App\\run.py\""},
        {"quote in a path", L"C:\\a\"b\\pythonw.exe", L"l.py", L"",
         L"\"C:\\a\"b\\pythonw.exe\" -I \"l.py\""},
        {"launcher ending in a backslash", L"p.exe", L"C:\\App\\", L"",
         L"\"p.exe\" -I \"C:\\App\\\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        AppLauncher(c.pythonw, c.launcher).LaunchApp(c.screen);
        const auto starts = fake->CallsNamed("CreateProcessW");
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].Text("commandLine"), c.commandLine)
            << Narrow(starts[0].Text("commandLine"));
        EXPECT_EQ(starts[0].Text("applicationName"), c.pythonw);
    }
}

TEST_F(LaunchAppTest, StartsWithoutWindowHandlesOrInheritanceAndClosesBothHandles) {
    AppLauncher(options.pythonwPath, options.launcherPath).LaunchApp(L"stop");
    const std::vector<fake::Call> starts = fake->CallsNamed("CreateProcessW");
    ASSERT_EQ(starts.size(), 1u);
    const fake::Call& start = starts[0];
    // The application inherits none of the program's handles, opens no console window, and
    // gets no show-window request or standard handles from the startup record.
    EXPECT_EQ(start.Number("inheritHandles"), static_cast<std::uint64_t>(FALSE));
    EXPECT_EQ(start.Number("creationFlags"), static_cast<std::uint64_t>(CREATE_NO_WINDOW));
    EXPECT_EQ(start.startup.cb, sizeof(STARTUPINFOW));
    EXPECT_EQ(start.startup.dwFlags, 0u);
    // Nothing of the new process is held afterwards: each handle is closed once.
    const std::vector<fake::Call> closes = fake->CallsNamed("CloseHandle");
    ASSERT_EQ(closes.size(), 2u);
    std::vector<std::uint64_t> closed = {closes[0].Number("handle"), closes[1].Number("handle")};
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, (std::vector<std::uint64_t>{fake::HandleValue(fake::kProcessHandle),
                                                  fake::HandleValue(fake::kThreadHandle)}));
}

TEST_F(LaunchAppTest, FailedStartClosesNothing) {
    fake->script.createProcessResult = FALSE;
    AppLauncher(options.pythonwPath, options.launcherPath).LaunchApp(L"");
    EXPECT_EQ(fake->CallsNamed("CreateProcessW").size(), 1u);
    EXPECT_TRUE(fake->CallsNamed("CloseHandle").empty());
}

TEST_F(LaunchAppTest, LetsTheRunningApplicationComeForwardFirst) {
    // The process is the one the program was told; it is asked at every start, since the
    // application may have ended or started meanwhile.
    int asked = 0;
    std::optional<DWORD> running = 4711;
    const AppLauncher launcher(options.pythonwPath, options.launcherPath, [&] {
        ++asked;
        return running;
    });
    launcher.LaunchApp(L"");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(fake->CallNames({"CloseHandle"}),
              (std::vector<std::string>{"AllowSetForegroundWindow", "CreateProcessW"}));
    EXPECT_EQ(fake->CallsNamed("AllowSetForegroundWindow").at(0).Number("processId"), 4711u);

    // No application runs: no process is let come forward, and never just any.
    running.reset();
    fake.emplace();
    launcher.LaunchApp(L"news");
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(fake->CallNames({"CloseHandle"}), std::vector<std::string>{"CreateProcessW"});
}

}  // namespace
