#include "tray/tray_icon.h"

#include "test_support.h"

namespace {

// The icon, its callback message, the tooltip, and the standard tooltip of a version-4 icon.
constexpr UINT kIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;

class RefreshTrayIconTest : public LogicTest {
  protected:
    // An icon as start-up makes it, on this test's state file.
    struct Icon {
        explicit Icon(const StartupOptions& options) : stateFile(options.statePath) {
            icon.InitTrayRecord(fake::kTrayWindowHandle, nullptr);
        }
        StateFile stateFile;
        TrayIcon icon{stateFile};
    };

    std::wstring LastTip() const {
        return fake->CallsNamed("Shell_NotifyIconW").back().record.szTip;
    }
};

TEST_F(RefreshTrayIconTest, TooltipJoinsTitleAndStatusLabel) {
    struct Case {
        const char* name;
        std::vector<profile_text::Key> stateKeys;
        bool running;
        std::wstring tip;
    };
    const Case cases[] = {
        {"both",
         {{L"label_title", L"Vestrel"}, {L"label_running", L"Running"}},
         true,
         L"Vestrel\nRunning"},
        {"title empty", {{L"label_title", L""}, {L"label_running", L"Running"}}, true, L"Running"},
        {"status label empty",
         {{L"label_title", L"Vestrel"}, {L"label_running", L""}},
         true,
         L"Vestrel"},
        {"both empty", {}, true, L""},
        {"stopped",
         {{L"label_title", L"Vestrel"},
          {L"label_stopped", L"Stopped"},
          {L"label_running", L"Running"}},
         false,
         L"Vestrel\nStopped"},
        {"update waiting",
         {{L"label_title", L"V"},
          {L"status", L"update_waiting"},
          {L"label_update_waiting", L"Update ready"},
          {L"label_running", L"Running"}},
         true,
         L"V\nUpdate ready"},
        {"non-ASCII",
         {{L"label_title", L"\x05D5\x05E1\x05D8\x05E8\x05DC"},
          {L"label_running", L"\x05E4\x05D5\x05E2\x05DC"}},
         true,
         L"\x05D5\x05E1\x05D8\x05E8\x05DC\n\x05E4\x05D5\x05E2\x05DC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        if (c.running) {
            WriteRunningState(c.stateKeys);
        } else {
            WriteStateFile({{L"state", c.stateKeys}});
        }
        Icon(options).icon.RefreshTrayIcon();
        EXPECT_EQ(LastTip(), c.tip);
    }
}

TEST_F(RefreshTrayIconTest, TooltipIsCutAt127CodeUnits) {
    struct Case {
        const char* name;
        std::wstring title;
        std::wstring tip;
    };
    const std::wstring a127(127, L'a');
    // U+1F600 as a surrogate pair standing at units 126 and 127: the cut would split it.
    const std::wstring pairAtCut = std::wstring(126, L'b') + L"\xD83D\xDE00" + L"tail";
    const std::wstring pairBeforeCut = std::wstring(125, L'c') + L"\xD83D\xDE00" + L"tail";
    const Case cases[] = {
        {"exactly 127", a127, a127},
        {"200 units", std::wstring(200, L'd'), std::wstring(127, L'd')},
        {"pair split by the cut", pairAtCut, std::wstring(126, L'b')},
        {"pair just inside", pairBeforeCut, std::wstring(125, L'c') + L"\xD83D\xDE00"},
        // Only a cut is kept from splitting a pair: a text that fits passes whole, as it is.
        {"fits, a lone high surrogate at its end", std::wstring(126, L'e') + L"\xD83D",
         std::wstring(126, L'e') + L"\xD83D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteStateFile({{L"state", {{L"label_title", c.title}}}});
        Icon(options).icon.RefreshTrayIcon();
        EXPECT_EQ(LastTip(), c.tip);
    }
}

TEST_F(RefreshTrayIconTest, AddsOnceThenModifies) {
    WriteRunningState({{L"label_title", L"Vestrel"}});
    fake->script.notifyAnswers[NIM_ADD] = {FALSE};
    fake->script.notifyAnswers[NIM_MODIFY] = {FALSE};
    Icon made(options);
    TrayIcon& icon = made.icon;

    icon.RefreshTrayIcon();  // no shell yet: the add fails, and so does the fallback
    EXPECT_FALSE(icon.IsAdded());
    icon.RefreshTrayIcon();  // the add succeeds and the version follows
    EXPECT_TRUE(icon.IsAdded());
    icon.RefreshTrayIcon();
    icon.RefreshTrayIcon();
    EXPECT_EQ(Effects(), (std::vector<std::string>{"NIM_ADD", "NIM_MODIFY", "NIM_ADD",
                                                   "NIM_SETVERSION", "NIM_MODIFY", "NIM_MODIFY"}));

    const auto requests = fake->CallsNamed("Shell_NotifyIconW");
    const NOTIFYICONDATAW& add = requests[2].record;
    EXPECT_EQ(add.cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(add.hWnd, fake::kTrayWindowHandle);
    EXPECT_EQ(add.uID, 1u);
    EXPECT_EQ(add.uCallbackMessage, static_cast<UINT>(WM_APP + 1));
    EXPECT_EQ(add.hIcon, fake::kIconHandle);
    EXPECT_EQ(add.uFlags, kIconFlags);
    EXPECT_EQ(requests[3].record.uVersion, static_cast<UINT>(NOTIFYICON_VERSION_4));
}

TEST_F(RefreshTrayIconTest, TaskbarCreatedAddsAndSwitchesVersionAgain) {
    WriteRunningState({});
    Icon made(options);
    made.icon.RefreshTrayIcon();
    made.icon.OnTaskbarCreated();
    made.icon.RefreshTrayIcon();
    // The shell reports version-4 events only to an icon that asked after its add.
    EXPECT_EQ(Effects(), (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION", "NIM_ADD",
                                                   "NIM_SETVERSION", "NIM_MODIFY"}));
}

TEST_F(RefreshTrayIconTest, KeptIconAfterTaskbarCreatedIsModifiedInPlace) {
    // A shell that kept its icons refuses the second add; the icon is still there, so a modify
    // is accepted and the program goes on as if the add had worked.
    WriteRunningState({{L"label_title", L"Vestrel"}});
    Icon made(options);
    TrayIcon& icon = made.icon;
    icon.RefreshTrayIcon();
    fake->script.notifyAnswers[NIM_ADD] = {FALSE};
    icon.OnTaskbarCreated();
    EXPECT_TRUE(icon.IsAdded());
    icon.RefreshTrayIcon();
    EXPECT_EQ(Effects(), (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION", "NIM_ADD",
                                                   "NIM_MODIFY", "NIM_SETVERSION", "NIM_MODIFY"}));
    EXPECT_EQ(fake->CallsNamed("Shell_NotifyIconW")[3].record.szTip, std::wstring(L"Vestrel"));

    // When the modify is refused too, the icon is really gone: the next call tries the add again.
    fake.emplace();
    fake->script.notifyAnswers[NIM_ADD] = {FALSE};
    fake->script.notifyAnswers[NIM_MODIFY] = {FALSE};
    icon.OnTaskbarCreated();
    EXPECT_FALSE(icon.IsAdded());
    icon.RefreshTrayIcon();
    EXPECT_TRUE(icon.IsAdded());
    EXPECT_EQ(Effects(),
              (std::vector<std::string>{"NIM_ADD", "NIM_MODIFY", "NIM_ADD", "NIM_SETVERSION"}));
}

TEST_F(RefreshTrayIconTest, RefreshAfterBalloonDoesNotShowItAgain) {
    WriteRunningState({});
    Icon made(options);
    made.icon.RefreshTrayIcon();
    ASSERT_TRUE(made.icon.ShowBalloon(L"Old", L"old balloon", NIIF_INFO));
    fake->calls.clear();
    made.icon.RefreshTrayIcon();
    const fake::Call modify = fake->CallsNamed("Shell_NotifyIconW").back();
    EXPECT_EQ(modify.record.uFlags, kIconFlags);
    EXPECT_EQ(Effects(), std::vector<std::string>{"NIM_MODIFY"});
}

}  // namespace

namespace {

TEST_F(RefreshTrayIconTest, RemovesTheIconOnlyWhenTheShellHoldsIt) {
    for (bool added : {true, false}) {
        SCOPED_TRACE(added);
        StartRow();
        WriteRunningState({});
        fake->script.notifyAnswers[NIM_ADD] = {added ? TRUE : FALSE};
        fake->script.notifyAnswers[NIM_MODIFY] = {added ? TRUE : FALSE};
        Icon made(options);
        made.icon.RefreshTrayIcon();
        fake->calls.clear();

        made.icon.Remove();

        const std::vector<fake::Call> requests = fake->CallsNamed("Shell_NotifyIconW");
        if (!added) {
            EXPECT_TRUE(requests.empty());
            continue;
        }
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Number("message"), static_cast<std::uint64_t>(NIM_DELETE));
        EXPECT_EQ(requests[0].record.hWnd, fake::kTrayWindowHandle);
        EXPECT_EQ(requests[0].record.uID, kTrayIconId);
    }
}

}  // namespace
