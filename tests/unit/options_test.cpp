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
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P --launcher L",
     true,
     {L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // Any order.
    {L"tray.exe --launcher L --pythonw P --seen D:\\N --state D:\\S --mutex M",
     true,
     {L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // The last occurrence wins.
    {L"tray.exe --mutex M --state D:\\S --seen D:\\first --pythonw P --launcher L --seen "
     L"D:\\second",
     true,
     {L"M", L"D:\\S", L"D:\\second", L"P", L"L"}},
    // An unknown pair is skipped whole; the pairs after it are read as usual.
    {L"tray.exe --mutex M --verbose yes --state D:\\S --seen D:\\N --pythonw P --launcher L",
     true,
     {L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // An odd argument at the end is ignored.
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P --launcher L --state",
     true,
     {L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // A value that looks like an option is a value, and the pairing goes on after it.
    {L"tray.exe --mutex --state D:\\S x --seen D:\\N --pythonw P --launcher L",
     false,
     {L"--state", L"", L"D:\\N", L"P", L"L"}},
    // Quoted values with blanks come through whole.
    {L"tray.exe --mutex \"A B\" --state \"C:\\my files\\s.ini\" --seen D:\\N --pythonw P "
     L"--launcher L",
     true,
     {L"A B", L"C:\\my files\\s.ini", L"D:\\N", L"P", L"L"}},
    // An empty value leaves its field empty.
    {L"tray.exe --mutex \"\" --state D:\\S --seen D:\\N --pythonw P --launcher L",
     false,
     {L"", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // Capitals, abbreviations and the "=" form are not options.
    {L"tray.exe --mutex M --State D:\\S --seen D:\\N --pythonw P --launcher L",
     false,
     {L"M", L"", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex M --state=D:\\S x --seen D:\\N --pythonw P --launcher L",
     false,
     {L"M", L"", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex M --stat D:\\S --seen D:\\N --pythonw P --launcher L",
     false,
     {L"M", L"", L"D:\\N", L"P", L"L"}},
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

TEST_F(ParseOptionsTest, ABareFileNameMeansTheCurrentFolder) {
    // The profile functions would look for a bare name in the Windows folder and the file
    // functions in the current one; with ".\\" both name the same file. Anything with a folder or
    // a drive stays exactly as given, and the other three options are never touched.
    struct Case {
        const wchar_t* value;
        const wchar_t* path;
    };
    const Case cases[] = {
        {L"seen.ini", L".\\seen.ini"},
        {L"no extension", L".\\no extension"},
        {L".\\seen.ini", L".\\seen.ini"},
        {L"sub\\seen.ini", L"sub\\seen.ini"},
        {L"sub/seen.ini", L"sub/seen.ini"},
        {L"D:seen.ini", L"D:seen.ini"},
        {L"C:\\data\\seen.ini", L"C:\\data\\seen.ini"},
        {L"\\\\server\\share\\seen.ini", L"\\\\server\\share\\seen.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.value));
        ResetProgramState();
        startupOptions = StartupOptions{};
        fake::script.commandLine = std::wstring(L"tray.exe --mutex m.ini --pythonw p.exe ") +
                                   L"--launcher l.py --state \"" + c.value + L"\" --seen \"" +
                                   c.value + L"\"";

        EXPECT_TRUE(ParseOptions());
        EXPECT_EQ(startupOptions.statePath, c.path);
        EXPECT_EQ(startupOptions.seenPath, c.path);
        EXPECT_EQ(startupOptions.mutexName, L"m.ini");
        EXPECT_EQ(startupOptions.pythonwPath, L"p.exe");
        EXPECT_EQ(startupOptions.launcherPath, L"l.py");
    }
}

}  // namespace
