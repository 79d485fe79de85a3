#include "tray/context_menu.h"

#include "test_support.h"

namespace {

constexpr std::uint64_t kPlainFlags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;
constexpr std::uint64_t kRightToLeftFlags = kPlainFlags | TPM_LAYOUTRTL;

class ShowContextMenuTest : public LogicTest {
  protected:
    struct Item {
        std::wstring text;
        std::uint64_t flags;
        std::uint64_t id;
        bool operator==(const Item&) const = default;
    };

    std::vector<Item> Items() const {
        std::vector<Item> items;
        for (const fake::Call& call : fake->CallsNamed("AppendMenuW")) {
            items.push_back(Item{call.Text("text"), call.Number("flags"), call.Number("id")});
        }
        return items;
    }

    std::uint64_t TrackFlags() const {
        return fake->CallsNamed("TrackPopupMenu").at(0).Number("flags");
    }

    // The menu as the icon's event shows it, with the program's parts made from the options.
    void ShowMenu() {
        TrayParts parts(options);
        ShowContextMenu(fake::kTrayWindowHandle, parts.stateFile, parts.seenFile, parts.launcher);
    }
};

TEST_F(ShowContextMenuTest, ItemsFollowLabelsRoleStatusAndMute) {
    const std::vector<profile_text::Key> allLabels = {{L"label_stopped", L"Stopped"},
                                                      {L"label_running", L"Running"},
                                                      {L"label_update_waiting", L"Update"},
                                                      {L"label_open", L"Open"},
                                                      {L"label_stop", L"Stop"},
                                                      {L"label_mute", L"Mute"}};
    struct Case {
        const char* name;
        bool running;
        std::vector<profile_text::Key> stateKeys;
        profile_text::Profile seen;
        std::vector<Item> items;
        std::uint64_t trackFlags;
    };
    const Item status{L"Running", MF_GRAYED, 0};
    const Item separator{L"<null>", MF_SEPARATOR, 0};
    const Item open{L"Open", MF_STRING, 10};
    const Item stop{L"Stop", MF_STRING, 11};
    const Item mute{L"Mute", MF_STRING, 12};
    const Item muted{L"Mute", MF_CHECKED, 12};
    auto with = [&](std::vector<profile_text::Key> extra) {
        extra.insert(extra.end(), allLabels.begin(), allLabels.end());
        return extra;
    };
    const Case cases[] = {
        {"no labels at all", true, {}, {}, {{L"", MF_GRAYED, 0}, separator}, kPlainFlags},
        {"no state file", false, {}, {}, {{L"", MF_GRAYED, 0}, separator}, kPlainFlags},
        {"running server",
         true,
         with({{L"role", L"server"}}),
         {},
         {status, separator, open, stop, mute},
         kPlainFlags},
        {"update waiting server",
         true,
         with({{L"role", L"server"}, {L"status", L"update_waiting"}}),
         {},
         {{L"Update", MF_GRAYED, 0}, separator, open, stop, mute},
         kPlainFlags},
        {"stopped server",
         false,
         with({{L"role", L"server"}}),
         {},
         {{L"Stopped", MF_GRAYED, 0}, separator, open, mute},
         kPlainFlags},
        {"not a server", true, with({}), {}, {status, separator, open, mute}, kPlainFlags},
        {"role in capitals",
         true,
         with({{L"role", L"Server"}}),
         {},
         {status, separator, open, mute},
         kPlainFlags},
        {"role empty",
         true,
         with({{L"role", L""}}),
         {},
         {status, separator, open, mute},
         kPlainFlags},
        {"stop label empty",
         true,
         with({{L"role", L"server"}, {L"label_stop", L""}}),
         {},
         {status, separator, open, mute},
         kPlainFlags},
        {"open label empty",
         true,
         with({{L"label_open", L""}}),
         {},
         {status, separator, mute},
         kPlainFlags},
        {"mute label empty",
         true,
         with({{L"label_mute", L""}}),
         {{L"prefs", {{L"mute_nudges", L"1"}}}},
         {status, separator, open},
         kPlainFlags},
        {"muted",
         true,
         with({}),
         {{L"prefs", {{L"mute_nudges", L"1"}}}},
         {status, separator, open, muted},
         kPlainFlags},
        {"mute value not exactly 1",
         true,
         with({}),
         {{L"prefs", {{L"mute_nudges", L"yes"}}}},
         {status, separator, open, mute},
         kPlainFlags},
        {"right to left",
         true,
         with({{L"rtl", L"1"}}),
         {},
         {status, separator, open, mute},
         kRightToLeftFlags},
        {"rtl 0", true, with({{L"rtl", L"0"}}), {}, {status, separator, open, mute}, kPlainFlags},
        {"rtl true",
         true,
         with({{L"rtl", L"true"}}),
         {},
         {status, separator, open, mute},
         kPlainFlags},
        {"rtl 01", true, with({{L"rtl", L"01"}}), {}, {status, separator, open, mute}, kPlainFlags},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        if (c.running) {
            WriteRunningState(c.stateKeys);
        } else if (!c.stateKeys.empty()) {
            WriteStateFile({{L"state", c.stateKeys}});
        }
        if (!c.seen.empty()) {
            WriteSeenFile(c.seen);
        }

        ShowMenu();

        EXPECT_EQ(Items(), c.items);
        EXPECT_EQ(TrackFlags(), c.trackFlags);
    }
}

TEST_F(ShowContextMenuTest, TracksAtCursorBetweenForegroundAndWmNull) {
    WriteRunningState({{L"label_open", L"Open"}});
    fake->script.cursor = POINT{-300, 40};
    ShowMenu();

    // Without the foreground switch the menu would not close on a click elsewhere; the posted
    // WM_NULL after it lets a second click on the icon open it again at once. The menu is built
    // whole before it is tracked, and destroyed once it has returned.
    ExpectInOrder({"CreatePopupMenu", "AppendMenuW", "SetForegroundWindow", "TrackPopupMenu",
                   "PostMessageW", "DestroyMenu"});
    EXPECT_EQ(fake->CallsNamed("AppendMenuW").size(), 3u);
    const fake::Call track = fake->CallsNamed("TrackPopupMenu").at(0);
    const auto window = fake::HandleValue(fake::kTrayWindowHandle);
    EXPECT_EQ(track.Number("menu"), fake::HandleValue(fake::kMenuHandle));
    EXPECT_EQ(track.Number("flags"), kPlainFlags);
    EXPECT_EQ(track.Signed("x"), -300);
    EXPECT_EQ(track.Signed("y"), 40);
    EXPECT_EQ(track.Number("window"), window);
    EXPECT_EQ(fake->CallsNamed("SetForegroundWindow").at(0).Number("window"), window);
    const fake::Call wake = fake->CallsNamed("PostMessageW").at(0);
    EXPECT_EQ(wake.Number("window"), window);
    EXPECT_EQ(wake.Number("message"), static_cast<std::uint64_t>(WM_NULL));
    EXPECT_EQ(fake->CallsNamed("DestroyMenu").at(0).Number("menu"),
              fake::HandleValue(fake::kMenuHandle));
}

TEST_F(ShowContextMenuTest, WithoutCursorOpensWhereTheMessageHappened) {
    WriteRunningState({});
    fake->script.cursor.reset();
    // A position on a screen left of the main one: x is negative in the low word.
    fake->script.messagePos = static_cast<DWORD>(MAKELONG(static_cast<WORD>(-20), 700));
    ShowMenu();
    const fake::Call track = fake->CallsNamed("TrackPopupMenu").at(0);
    EXPECT_EQ(track.Signed("x"), -20);
    EXPECT_EQ(track.Signed("y"), 700);
}

TEST_F(ShowContextMenuTest, CarriesOutTheChosenCommandAfterDestroyingTheMenu) {
    struct Case {
        const char* name;
        UINT chosen;
        profile_text::Profile seen;
        std::wstring commandLine;  // empty: nothing started
        std::wstring muteAfter;
    };
    const std::wstring base = L"\"C:\\Python\\pythonw.exe\" -I \"C:\\App\\launch.py\"";
    const Case cases[] = {
        {"dismissed", 0, {}, L"", L""},
        {"open", 10, {}, base, L""},
        {"stop", 11, {}, base + L" --screen stop", L""},
        {"mute when not muted", 12, {}, L"", L"1"},
        {"unmute", 12, {{L"prefs", {{L"mute_nudges", L"1"}}}}, L"", L"0"},
        {"mute over another value", 12, {{L"prefs", {{L"mute_nudges", L"2"}}}}, L"", L"1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        if (!c.seen.empty()) {
            WriteSeenFile(c.seen);
        }
        WriteRunningState({{L"role", L"server"},
                           {L"label_open", L"Open"},
                           {L"label_stop", L"Stop"},
                           {L"label_mute", L"Mute"}});
        fake->script.trackResult = c.chosen;

        ShowMenu();

        const auto starts = fake->CallsNamed("CreateProcessW");
        if (c.commandLine.empty()) {
            EXPECT_TRUE(starts.empty());
        } else {
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_EQ(starts[0].Text("commandLine"), c.commandLine);
        }
        EXPECT_EQ(ReadSeen(L"prefs", L"mute_nudges"), c.muteAfter);
        // The menu is gone before its command runs: a start may take long, and a command may
        // open another menu.
        if (!starts.empty()) {
            ExpectInOrder({"DestroyMenu", "CreateProcessW"});
        }
        if (!c.muteAfter.empty()) {
            ExpectInOrder({"DestroyMenu", "WritePrivateProfileStringW"});
        }
    }
}

TEST_F(ShowContextMenuTest, MuteWritesTheOppositeOfThePreferenceAfterTheMenuClosed) {
    // The menu showed no check mark, but nudges were muted elsewhere while it was open.
    WriteRunningState({{L"label_mute", L"Mute"}});
    fake->script.trackResult = kMenuMute;
    fake->script.whileTracking = [this] { WriteSeenFile({{L"prefs", {{L"mute_nudges", L"1"}}}}); };
    ShowMenu();
    EXPECT_EQ(fake->CallsNamed("AppendMenuW").back().Number("flags"),
              static_cast<std::uint64_t>(MF_STRING));
    EXPECT_EQ(ReadSeen(L"prefs", L"mute_nudges"), L"0");
}

TEST_F(ShowContextMenuTest, NoMenuNoCommand) {
    WriteRunningState({{L"label_open", L"Open"}});
    fake->script.popupMenuFails = true;
    fake->script.trackResult = kMenuOpen;
    ShowMenu();
    EXPECT_EQ(Effects(), std::vector<std::string>{"CreatePopupMenu"});
    EXPECT_TRUE(fake->CallsNamed("AppendMenuW").empty());
}

}  // namespace
