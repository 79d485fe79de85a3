#include "app/options.h"

#include "test_support.h"

#include <optional>

namespace {

struct OptionsCase {
    const wchar_t* commandLine;
    std::optional<StartupOptions> expected;  // nothing: an option is missing or empty
};

const OptionsCase kOptionsCases[] = {
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // Any order.
    {L"tray.exe --launcher L --pythonw P --seen D:\\N --state D:\\S --mutex M",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // The last occurrence wins.
    {L"tray.exe --mutex M --state D:\\S --seen D:\\first --pythonw P --launcher L --seen "
     L"D:\\second",
     StartupOptions{L"M", L"D:\\S", L"D:\\second", L"P", L"L"}},
    // An unknown pair is skipped whole; the pairs after it are read as usual.
    {L"tray.exe --mutex M --verbose yes --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // An odd argument at the end is ignored.
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P --launcher L --state",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    // A value that looks like an option is a value, and the pairing goes on after it.
    {L"tray.exe --mutex --state --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"--state", L"D:\\S", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex --state D:\\S x --seen D:\\N --pythonw P --launcher L", std::nullopt},
    // Quoted values with blanks come through whole.
    {L"tray.exe --mutex \"A B\" --state \"C:\\my files\\s.ini\" --seen D:\\N --pythonw P "
     L"--launcher L",
     StartupOptions{L"A B", L"C:\\my files\\s.ini", L"D:\\N", L"P", L"L"}},
    // An empty value counts as missing, for each of the five alone.
    {L"tray.exe --mutex \"\" --state D:\\S --seen D:\\N --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state \"\" --seen D:\\N --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --seen \"\" --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw \"\" --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P --launcher \"\"", std::nullopt},
    // Each of the five missing alone.
    {L"tray.exe --state D:\\S --seen D:\\N --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --seen D:\\N --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --pythonw P --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --launcher L", std::nullopt},
    {L"tray.exe --mutex M --state D:\\S --seen D:\\N --pythonw P", std::nullopt},
    // Capitals, abbreviations and the "=" form are not options: each such pair is skipped.
    {L"tray.exe --mutex M --State X --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex M --state=X y --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex M --stat X --state D:\\S --seen D:\\N --pythonw P --launcher L",
     StartupOptions{L"M", L"D:\\S", L"D:\\N", L"P", L"L"}},
    {L"tray.exe --mutex M --State D:\\S --seen D:\\N --pythonw P --launcher L", std::nullopt},
    {L"tray.exe", std::nullopt},
    {L"tray.exe --mutex M", std::nullopt},
};

class ParseOptionsTest : public LogicTest {};

TEST_F(ParseOptionsTest, ReadsPairsByPosition) {
    for (const OptionsCase& c : kOptionsCases) {
        SCOPED_TRACE(Narrow(c.commandLine));
        StartRow();
        fake->script.commandLine = c.commandLine;

        const std::optional<StartupOptions> parsed = ParseOptions();
        ASSERT_EQ(parsed.has_value(), c.expected.has_value());
        if (parsed) {
            EXPECT_EQ(parsed->mutexName, c.expected->mutexName);
            EXPECT_EQ(parsed->statePath, c.expected->statePath);
            EXPECT_EQ(parsed->seenPath, c.expected->seenPath);
            EXPECT_EQ(parsed->pythonwPath, c.expected->pythonwPath);
            EXPECT_EQ(parsed->launcherPath, c.expected->launcherPath);
        }
        // The argument array the split gave is released.
        ExpectInOrder({"CommandLineToArgvW", "LocalFree"});
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
        StartRow();
        fake->script.commandLine = std::wstring(L"tray.exe --mutex m.ini --pythonw p.exe ") +
                                   L"--launcher l.py --state \"" + c.value + L"\" --seen \"" +
                                   c.value + L"\"";

        const std::optional<StartupOptions> parsed = ParseOptions();
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->statePath, c.path);
        EXPECT_EQ(parsed->seenPath, c.path);
        EXPECT_EQ(parsed->mutexName, L"m.ini");
        EXPECT_EQ(parsed->pythonwPath, L"p.exe");
        EXPECT_EQ(parsed->launcherPath, L"l.py");
    }
}

}  // namespace
