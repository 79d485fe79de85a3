#include "app/options.h"
#include "core/startup_options.h"

#include "test_support.h"

namespace {

struct OptionsCase {
    const wchar_t* commandLine;
    bool complete;
    StartupOptions expected;
};

const OptionsCase kOptionsCases[] = {
    {L"tray.exe --mutex M --state S --seen N --pythonw P --launcher L",
     true,
     {L"M", L"S", L"N", L"P", L"L"}},
    // Any order.
    {L"tray.exe --launcher L --pythonw P --seen N --state S --mutex M",
     true,
     {L"M", L"S", L"N", L"P", L"L"}},
    // The last occurrence wins.
    {L"tray.exe --mutex M --state S --seen first --pythonw P --launcher L --seen second",
     true,
     {L"M", L"S", L"second", L"P", L"L"}},
    // An unknown pair is skipped whole; the pairs after it are read as usual.
    {L"tray.exe --mutex M --verbose yes --state S --seen N --pythonw P --launcher L",
     true,
     {L"M", L"S", L"N", L"P", L"L"}},
    // An odd argument at the end is ignored.
    {L"tray.exe --mutex M --state S --seen N --pythonw P --launcher L --state",
     true,
     {L"M", L"S", L"N", L"P", L"L"}},
    // A value that looks like an option is a value, and the pairing goes on after it.
    {L"tray.exe --mutex --state S x --seen N --pythonw P --launcher L",
     false,
     {L"--state", L"", L"N", L"P", L"L"}},
    // Quoted values with blanks come through whole.
    {L"tray.exe --mutex \"A B\" --state \"C:\\my files\\s.ini\" --seen N --pythonw P --launcher L",
     true,
     {L"A B", L"C:\\my files\\s.ini", L"N", L"P", L"L"}},
    // An empty value leaves its field empty.
    {L"tray.exe --mutex \"\" --state S --seen N --pythonw P --launcher L",
     false,
     {L"", L"S", L"N", L"P", L"L"}},
    // Capitals, abbreviations and the "=" form are not options.
    {L"tray.exe --mutex M --State S --seen N --pythonw P --launcher L",
     false,
     {L"M", L"", L"N", L"P", L"L"}},
    {L"tray.exe --mutex M --state=S x --seen N --pythonw P --launcher L",
     false,
     {L"M", L"", L"N", L"P", L"L"}},
    {L"tray.exe --mutex M --stat S --seen N --pythonw P --launcher L",
     false,
     {L"M", L"", L"N", L"P", L"L"}},
    {L"tray.exe", false, {}},
    {L"tray.exe --mutex M", false, {L"M", L"", L"", L"", L""}},
};

class ParseOptionsTest : public LogicTest {};

TEST_F(ParseOptionsTest, ReadsPairsByPosition) {
    for (const OptionsCase& c : kOptionsCases) {
        SCOPED_TRACE(Narrow(c.commandLine));
        ResetProgramState();
        startupOptions = StartupOptions{};
        fake::script.commandLine = c.commandLine;

        EXPECT_EQ(ParseOptions(), c.complete);
        EXPECT_EQ(startupOptions.mutexName, c.expected.mutexName);
        EXPECT_EQ(startupOptions.statePath, c.expected.statePath);
        EXPECT_EQ(startupOptions.seenPath, c.expected.seenPath);
        EXPECT_EQ(startupOptions.pythonwPath, c.expected.pythonwPath);
        EXPECT_EQ(startupOptions.launcherPath, c.expected.launcherPath);
        // The argument array is released.
        EXPECT_EQ(fake::CallNames(),
                  (std::vector<std::string>{"GetCommandLineW", "CommandLineToArgvW", "LocalFree"}));
    }
}

}  // namespace
