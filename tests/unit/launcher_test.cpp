#include "actions/launcher.h"

#include "core/startup_options.h"
#include "test_support.h"

#include <algorithm>
#include <cstring>

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
        ResetProgramState();
        startupOptions.pythonwPath = c.pythonw;
        startupOptions.launcherPath = c.launcher;
        LaunchApp(c.screen);
        const auto starts = fake::CallsNamed("CreateProcessW");
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].Text("commandLine"), c.commandLine)
            << Narrow(starts[0].Text("commandLine"));
        EXPECT_EQ(starts[0].Text("applicationName"), c.pythonw);
    }
}

TEST_F(LaunchAppTest, StartsWithoutWindowHandlesOrInheritanceAndClosesBothHandles) {
    LaunchApp(L"stop");
    ASSERT_EQ(fake::CallNames(),
              (std::vector<std::string>{"CreateProcessW", "CloseHandle", "CloseHandle"}));
    const fake::Call start = fake::calls[0];
    EXPECT_EQ(start.Number("processAttributes"), 0u);
    EXPECT_EQ(start.Number("threadAttributes"), 0u);
    EXPECT_EQ(start.Number("inheritHandles"), static_cast<std::uint64_t>(FALSE));
    EXPECT_EQ(start.Number("creationFlags"), static_cast<std::uint64_t>(CREATE_NO_WINDOW));
    EXPECT_EQ(start.Number("environment"), 0u);
    EXPECT_EQ(start.Text("currentDirectory"), L"<null>");
    STARTUPINFOW zero{};
    zero.cb = 104;
    EXPECT_EQ(start.startup.cb, 104u);
    EXPECT_EQ(std::memcmp(&start.startup, &zero, sizeof(zero)), 0);
    EXPECT_TRUE(start.processInfoZeroed);
    // Nothing of the new process is held afterwards: each handle is closed once.
    std::vector<std::uint64_t> closed = {fake::calls[1].Number("handle"),
                                         fake::calls[2].Number("handle")};
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, (std::vector<std::uint64_t>{fake::HandleValue(fake::kProcessHandle),
                                                  fake::HandleValue(fake::kThreadHandle)}));
}

TEST_F(LaunchAppTest, FailedStartClosesNothing) {
    fake::script.createProcessResult = FALSE;
    LaunchApp(L"");
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"CreateProcessW"});
}

}  // namespace
