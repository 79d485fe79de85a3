#include "tray/context_menu.h"

#include "test_support.h"

#include <algorithm>
#include <optional>
#include <utility>

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
    void ShowMenu(std::optional<POINT> anchor = std::nullopt) {
        TrayParts parts(options);
        parts.menu.ShowContextMenu(fake::kTrayWindowHandle, anchor);
    }

    // Where the menu was tracked.
    std::pair<std::int64_t, std::int64_t> TrackedAt() const {
        const fake::Call track = fake->CallsNamed("TrackPopupMenu").at(0);
        return {track.Signed("x"), track.Signed("y")};
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
    EXPECT_EQ(track.Signed("reserved"), 0);  // must be zero
    EXPECT_EQ(track.Number("rect"), 0u);
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

TEST_F(ShowContextMenuTest, OpensAtThePointTheShellPassedWhateverTheCursor) {
    // From the keyboard the shell passes the icon's place; the mouse cursor may rest on another
    // display.
    struct Case {
        const char* name;
        std::optional<POINT> anchor;
        std::optional<POINT> cursor;
        std::pair<std::int64_t, std::int64_t> at;
    };
    const Case cases[] = {
        {"anchor, cursor far away", POINT{1012, 758}, POINT{-1200, 300}, {1012, 758}},
        {"anchor left of the main display", POINT{-500, -20}, POINT{10, 10}, {-500, -20}},
        {"anchor and no cursor", POINT{30, 40}, std::nullopt, {30, 40}},
        {"no anchor: the cursor", std::nullopt, POINT{-1200, 300}, {-1200, 300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteRunningState({});
        fake->script.cursor = c.cursor;
        ShowMenu(c.anchor);
        EXPECT_EQ(TrackedAt(), c.at);
        EXPECT_EQ(fake->CallsNamed("GetCursorPos").empty(), c.anchor.has_value());
    }
}

TEST_F(ShowContextMenuTest, ARequestWhileAMenuTracksIsIgnored) {
    // Some shells report Enter twice; the second comes while the first menu tracks.
    WriteRunningState({{L"label_open", L"Open"}});
    TrayParts parts(options);
    bool trackingSeen = false;
    fake->script.whileTracking = [&] {
        trackingSeen = parts.menu.IsTracking();
        parts.menu.ShowContextMenu(fake::kTrayWindowHandle, POINT{1012, 758});
    };
    parts.menu.ShowContextMenu(fake::kTrayWindowHandle, POINT{1012, 758});
    EXPECT_TRUE(trackingSeen);
    EXPECT_EQ(fake->CallsNamed("CreatePopupMenu").size(), 1u);
    EXPECT_EQ(fake->CallsNamed("TrackPopupMenu").size(), 1u);

    // Once it has closed, the next request opens the menu again.
    EXPECT_FALSE(parts.menu.IsTracking());
    fake->script.whileTracking = nullptr;
    parts.menu.ShowContextMenu(fake::kTrayWindowHandle, POINT{1012, 758});
    EXPECT_EQ(fake->CallsNamed("TrackPopupMenu").size(), 2u);
}

TEST_F(ShowContextMenuTest, AMenuLeftWithEscapeHandsTheFocusBack) {
    struct Case {
        const char* name;
        UINT chosen;
        bool escapeDownBefore;  // an Escape whose key-up this thread never saw
        bool escapeDownAfter;
        bool iconAdded;
        bool focusBack;
    };
    const Case cases[] = {
        {"left with Escape", 0, false, true, true, true},
        {"dismissed by a click elsewhere", 0, false, false, true, false},
        {"a command chosen", kMenuMute, false, true, true, false},
        {"left with Escape, no icon in the notification area", 0, false, true, false, false},
        // Escape was down already before the menu: what closed it cannot be told.
        {"a click elsewhere after an earlier Escape", 0, true, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteRunningState({{L"label_mute", L"Mute"}});
        TrayParts parts(options);
        if (c.iconAdded) {
            parts.AddIcon(*fake);
        }
        fake->script.trackResult = c.chosen;
        fake->script.escapeDown = c.escapeDownBefore;
        fake->script.whileTracking = [&] { fake->script.escapeDown = c.escapeDownAfter; };
        parts.menu.ShowContextMenu(fake::kTrayWindowHandle, POINT{1012, 758});
        const auto requests = fake->CallsNamed("Shell_NotifyIconW");
        const bool focusBack =
            std::any_of(requests.begin(), requests.end(),
                        [](const fake::Call& r) { return r.Number("message") == NIM_SETFOCUS; });
        EXPECT_EQ(focusBack, c.focusBack);
        if (c.focusBack) {
            // Once the menu is gone, to the icon the request came from.
            ExpectInOrder({"TrackPopupMenu", "DestroyMenu", "NIM_SETFOCUS"});
            EXPECT_EQ(requests.back().record.uID, kTrayIconId);
            EXPECT_EQ(requests.back().record.hWnd, fake::kTrayWindowHandle);
        }
    }
}

TEST_F(ShowContextMenuTest, TheRunningApplicationMayComeForwardBeforeTheLauncherStarts) {
    // The launcher hands the request to the running application, which may bring its window to
    // the front only if this program, which holds the foreground right after the user's choice,
    // lets it.
    struct Case {
        const char* name;
        UINT chosen;
        bool running;
        std::vector<std::uint64_t> allowed;  // processes let come forward
    };
    const Case cases[] = {
        {"open while it runs", kMenuOpen, true, {77}},
        {"stop while it runs", kMenuStop, true, {77}},
        {"open while it is stopped", kMenuOpen, false, {}},
        {"mute", kMenuMute, true, {}},
        {"nothing chosen", 0, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        const std::vector<profile_text::Key> labels = {{L"role", L"server"},
                                                       {L"label_open", L"Open"},
                                                       {L"label_stop", L"Stop"},
                                                       {L"label_mute", L"Mute"}};
        if (c.running) {
            WriteRunningState(labels);
        } else {
            WriteStateFile({{L"state", labels}});
        }
        fake->script.trackResult = c.chosen;
        ShowMenu();
        std::vector<std::uint64_t> allowed;
        for (const fake::Call& call : fake->CallsNamed("AllowSetForegroundWindow")) {
            allowed.push_back(call.Number("processId"));
        }
        EXPECT_EQ(allowed, c.allowed);
        if (!allowed.empty()) {
            ExpectInOrder({"DestroyMenu", "AllowSetForegroundWindow", "CreateProcessW"});
        }
    }
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
