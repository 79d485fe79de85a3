#include "actions/launcher.h"

#include "app/options.h"
#include "test_support.h"

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
        fake::Reset();
        startupOptions.pythonwPath = c.pythonw;
        startupOptions.launcherPath = c.launcher;
        LaunchApp(c.screen);
        const auto starts = fake::CallsNamed("CreateProcessW");
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].texts[1], c.commandLine) << Narrow(starts[0].texts[1]);
        EXPECT_EQ(starts[0].texts[0], c.pythonw);
    }
}

TEST_F(LaunchAppTest, StartsWithoutWindowHandlesOrInheritanceAndClosesBothHandles) {
    LaunchApp(L"stop");
    ASSERT_EQ(fake::CallNames(),
              (std::vector<std::string>{"CreateProcessW", "CloseHandle", "CloseHandle"}));
    const fake::Call start = fake::calls[0];
    // Process and thread attributes, inheritance, flags, environment.
    EXPECT_EQ(start.numbers, (std::vector<std::uint64_t>{0, 0, FALSE, CREATE_NO_WINDOW, 0}));
    EXPECT_EQ(start.texts[2], L"<null>");  // current directory
    STARTUPINFOW zero{};
    zero.cb = 104;
    EXPECT_EQ(start.startup.cb, 104u);
    EXPECT_EQ(std::memcmp(&start.startup, &zero, sizeof(zero)), 0);
    EXPECT_TRUE(start.processInfoZeroed);
    // The thread handle first, then the process handle.
    EXPECT_EQ(fake::calls[1].numbers[0], fake::HandleValue(fake::kThreadHandle));
    EXPECT_EQ(fake::calls[2].numbers[0], fake::HandleValue(fake::kProcessHandle));
}

TEST_F(LaunchAppTest, FailedStartClosesNothing) {
    fake::script.createProcessResult = FALSE;
    LaunchApp(L"");
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"CreateProcessW"});
}

}  // namespace
