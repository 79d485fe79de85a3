#include "actions/notice_target.h"

#include "test_support.h"
#include "web_host.h"

#include <cwctype>

namespace {

class OpenNoticeTargetTest : public LogicTest {};

enum class Opens { Nothing, App, Shell };

TEST_F(OpenNoticeTargetTest, StartsScreensOpensAllowedAddressesIgnoresTheRest) {
    struct Case {
        std::wstring target;
        Opens opens;
        std::wstring screen = L"";
    };
    const std::wstring letters32 = L"abcdefghijklmnopqrstuvwxyzabcdef";
    // Built from the configured host, "vestrel.app" unless the build says otherwise.
    const std::wstring site = kCompanionWebOrigin;
    const std::wstring www = kCompanionWebOriginWww;
    const std::wstring host = site.substr(std::wstring(L"https://").size());
    const Case cases[] = {
        {L"", Opens::Nothing},
        {L"app:", Opens::Nothing},
        {L"app:news", Opens::App, L"news"},
        {L"app:stop", Opens::App, L"stop"},
        {L"app:" + letters32, Opens::App, letters32},
        {L"app:" + letters32 + L"a", Opens::Nothing},
        {L"app:News", Opens::Nothing},
        {L"app:news2", Opens::Nothing},
        {L"app:my-news", Opens::Nothing},
        {L"app:my_news", Opens::Nothing},
        {L"app:my news", Opens::Nothing},
        {L"app:news/x", Opens::Nothing},
        {L"app:\x00E9t\x00E9", Opens::Nothing},
        // A screen target never goes on to the web test.
        {L"app:" + site + L"/", Opens::Nothing},
        {L"APP:news", Opens::Nothing},
        {L"ap", Opens::Nothing},
        {site + L"", Opens::Shell},
        {site + L"/", Opens::Shell},
        {www + L"", Opens::Shell},
        {www + L"/", Opens::Shell},
        {site + L"/news?id=3#top", Opens::Shell},
        {www + L"/a/b%20c", Opens::Shell},
        {site + L"?x=1", Opens::Nothing},
        {site + L"#x", Opens::Nothing},
        {site + L":8443/", Opens::Nothing},
        {site + L".evil.example/", Opens::Nothing},
        {site + L"lication/", Opens::Nothing},
        {L"https://evil" + host + L"/", Opens::Nothing},
        {L"https://user@" + host + L"/", Opens::Nothing},
        {L"http://" + host + L"/", Opens::Nothing},
        {L"HTTPS://" + host + L"/", Opens::Nothing},
        {L"https://" + std::wstring(1, static_cast<wchar_t>(towupper(host[0]))) + host.substr(1) +
             L"/",
         Opens::Nothing},
        {L" " + site + L"/", Opens::Nothing},
        {site + L" ", Opens::Nothing},
        {L"https://ww." + host + L"/", Opens::Nothing},
        // At most 2048 characters go to the shell.
        {site + L"/" + std::wstring(2048 - site.size() - 1, L'p'), Opens::Shell},
        {site + L"/" + std::wstring(2048 - site.size(), L'p'), Opens::Nothing},
        // Characters that could end the address's argument in the browser's command line.
        {site + L"/\" --new-window evil", Opens::Nothing},
        {site + L"/a b", Opens::Nothing},
        {site + L"/a\tb", Opens::Nothing},
        {site + L"/a\nb", Opens::Nothing},
        {std::wstring(site + L"/a") + L'\x7F', Opens::Nothing},
        {std::wstring(site + L"/a") + L'\x01', Opens::Nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.target));
        StartRow();
        const AppLauncher launcher(options.pythonwPath, options.launcherPath);
        TargetOpener(launcher).OpenNoticeTarget(c.target);
        const auto starts = fake->CallsNamed("CreateProcessW");
        const auto shell = fake->CallsNamed("ShellExecuteW");
        switch (c.opens) {
            case Opens::Nothing:
                EXPECT_TRUE(starts.empty());
                EXPECT_TRUE(shell.empty());
                break;
            case Opens::App:
                ASSERT_EQ(starts.size(), 1u);
                EXPECT_TRUE(shell.empty());
                EXPECT_EQ(
                    starts[0].Text("commandLine"),
                    L"\"C:\\Python\\pythonw.exe\" -I \"C:\\App\\launch.py\" --screen " + c.screen);
                break;
            case Opens::Shell:
                EXPECT_TRUE(starts.empty());
                ASSERT_EQ(shell.size(), 1u);
                EXPECT_EQ(shell[0].Text("verb"), L"open");
                EXPECT_EQ(shell[0].Text("file"), c.target);
                EXPECT_EQ(shell[0].Text("parameters"), L"<null>");
                EXPECT_EQ(shell[0].Text("directory"), L"<null>");
                EXPECT_EQ(shell[0].Number("window"), 0u);
                EXPECT_EQ(shell[0].Number("showCommand"),
                          static_cast<std::uint64_t>(SW_SHOWNORMAL));
                break;
        }
    }
}

TEST_F(OpenNoticeTargetTest, COMIsStartedOnceRightBeforeTheFirstAddressGoesToTheShell) {
    const std::wstring site = kCompanionWebOrigin;
    const AppLauncher launcher(options.pythonwPath, options.launcherPath);
    {
        TargetOpener opener(launcher);
        opener.OpenNoticeTarget(L"app:news");
        opener.OpenNoticeTarget(L"http://elsewhere.example");
        EXPECT_TRUE(fake->CallsNamed("CoInitializeEx").empty());

        opener.OpenNoticeTarget(site + L"/a");
        opener.OpenNoticeTarget(site + L"/b");
        ExpectInOrder({"CoInitializeEx", "ShellExecuteW", "ShellExecuteW"});
        EXPECT_EQ(fake->CallsNamed("CoInitializeEx").size(), 1u);
        EXPECT_EQ(fake->CallsNamed("CoInitializeEx").at(0).Number("coInit"),
                  static_cast<std::uint64_t>(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
        EXPECT_TRUE(fake->CallsNamed("CoUninitialize").empty());
    }
    // Ended once, when the opener goes.
    EXPECT_EQ(fake->CallsNamed("CoUninitialize").size(), 1u);
    EXPECT_EQ(fake->calls.back().name, "CoUninitialize");
}

TEST_F(OpenNoticeTargetTest, COMThatCouldNotStartIsNeitherTriedAgainNorEnded) {
    // Another part of the process may have chosen another apartment for this thread.
    fake->script.comResult = RPC_E_CHANGED_MODE;
    const AppLauncher launcher(options.pythonwPath, options.launcherPath);
    {
        TargetOpener opener(launcher);
        opener.OpenNoticeTarget(std::wstring(kCompanionWebOrigin));
        opener.OpenNoticeTarget(std::wstring(kCompanionWebOrigin));
    }
    EXPECT_EQ(fake->CallsNamed("CoInitializeEx").size(), 1u);
    EXPECT_EQ(fake->CallsNamed("ShellExecuteW").size(), 2u);
    EXPECT_TRUE(fake->CallsNamed("CoUninitialize").empty());
}

}  // namespace
