#include "app/tray_companion.h"

#include "test_support.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace {

constexpr UINT kTaskbarCreated = 0xC0DE;

class TrayCompanionTest : public LogicTest {
  protected:
    // The program as start-up leaves it, its window found through the fake's window handle; the
    // calls of the start are forgotten.
    std::unique_ptr<TrayCompanion> StartCompanion() {
        fake->script.taskbarCreatedMessage = kTaskbarCreated;
        auto companion = std::make_unique<TrayCompanion>(options);
        EXPECT_TRUE(companion->Start(nullptr));
        fake->calls.clear();
        return companion;
    }

    static LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return TrayWindowProc(fake::kTrayWindowHandle, message, wParam, lParam);
    }

    static LRESULT SendEvent(WORD event) {
        return Send(kTrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId));
    }

    // A running companion application with notices "cur" (a screen target) and "next".
    void ListTwoNotices() {
        WriteRunningState(
            {{L"label_open", L"Open"}, {L"label_running", L"Running"}, {L"notices", L"2"}},
            {NoticeSection(1, L"cur", L"info", {.target = L"app:news", .title = L"Current"}),
             NoticeSection(2, L"next", L"info", {.title = L"Next", .body = L"Body"})});
    }
};

TEST_F(TrayCompanionTest, EachMessageGoesToItsOwner) {
    // What one message must cause outside the program, in order, and its result. Before each,
    // "cur" is on screen and "next" waits.
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::vector<std::string> effects;
        bool defaultHandling;
    };
    using Names = std::vector<std::string>;
    const Names menu = {"CreatePopupMenu", "TrackPopupMenu"};
    const Names next = {"NIM_MODIFY balloon", "WritePrivateProfileStringW"};
    const Names clickThenNext = {"CreateProcessW", "NIM_MODIFY balloon",
                                 "WritePrivateProfileStringW"};
    const auto event = [](WORD code) { return MAKELPARAM(code, kTrayIconId); };
    const Case cases[] = {
        // The re-created taskbar lost the icon and the balloon: add again, switch the version,
        // and show no notice yet.
        {"TaskbarCreated", kTaskbarCreated, 0, 0, {"NIM_ADD", "NIM_SETVERSION"}, false},
        // A tick refreshes the tooltip, then polls; the balloon on screen holds the next back.
        {"timer tick", WM_TIMER, kRefreshTimerId, 0, {"NIM_MODIFY"}, false},
        {"timer tick of another id", WM_TIMER, 7, 0, {"NIM_MODIFY"}, false},
        {"context menu", kTrayCallbackMessage, 0, event(WM_CONTEXTMENU), menu, false},
        {"select", kTrayCallbackMessage, 0, event(NIN_SELECT), menu, false},
        {"keyboard select", kTrayCallbackMessage, 0, event(NIN_KEYSELECT), menu, false},
        {"balloon shown", kTrayCallbackMessage, 0, event(NIN_BALLOONSHOW), {}, false},
        {"balloon hidden", kTrayCallbackMessage, 0, event(NIN_BALLOONHIDE), next, false},
        {"balloon timed out", kTrayCallbackMessage, 0, event(NIN_BALLOONTIMEOUT), next, false},
        {"balloon clicked", kTrayCallbackMessage, 0, event(NIN_BALLOONUSERCLICK), clickThenNext,
         false},
        {"mouse move", kTrayCallbackMessage, 0, event(WM_MOUSEMOVE), {}, false},
        {"left button up", kTrayCallbackMessage, 0, event(WM_LBUTTONUP), {}, false},
        {"right button up", kTrayCallbackMessage, 0, event(WM_RBUTTONUP), {}, false},
        {"event above the balloon events", kTrayCallbackMessage, 0, event(0x0406), {}, false},
        // The event is the low word alone.
        {"event in the high word", kTrayCallbackMessage, 0, MAKELPARAM(0, NIN_SELECT), {}, false},
        {"destroy", WM_DESTROY, 0, 0, {"NIM_DELETE", "PostQuitMessage"}, false},
        // The displays changed, but the taskbar draws its icons at the size it did: nothing.
        {"display changed", WM_DISPLAYCHANGE, 32, 0, {}, false},
        {"scale changed", WM_DPICHANGED, 0, 0, {}, false},
        {"work area changed", WM_SETTINGCHANGE, SPI_SETWORKAREA, 0, {}, true},
        {"anything else", WM_SETTINGCHANGE, 3, 4, {}, true},
        {"WM_NULL", WM_NULL, 0, 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        ListTwoNotices();
        const std::unique_ptr<TrayCompanion> companion = StartCompanion();
        ASSERT_EQ(companion->Notices().CurrentNotice().id, L"cur");

        const LRESULT result = Send(c.message, c.wParam, c.lParam);

        EXPECT_EQ(Effects(), c.effects);
        const std::vector<fake::Call> handled = fake->CallsNamed("DefWindowProcW");
        if (c.defaultHandling) {
            ASSERT_EQ(handled.size(), 1u);
            EXPECT_EQ(handled[0].Number("message"), c.message);
            EXPECT_EQ(handled[0].Number("wParam"), c.wParam);
            EXPECT_EQ(handled[0].Signed("lParam"), c.lParam);
            EXPECT_EQ(result, 0x5A5A);  // the fake's answer, passed on
        } else {
            EXPECT_TRUE(handled.empty());
            EXPECT_EQ(result, 0);
        }
    }
}

TEST_F(TrayCompanionTest, TheMenuOpensWhereTheShellSaysItBelongs) {
    // With version 4 the point is in wParam: the click for the mouse, the icon for the keyboard.
    struct Case {
        const char* name;
        WORD event;
        WPARAM wParam;
        std::pair<std::int64_t, std::int64_t> at;
    };
    const auto point = [](int x, int y) {
        return static_cast<WPARAM>(
            static_cast<DWORD>(MAKELONG(static_cast<WORD>(x), static_cast<WORD>(y))));
    };
    const Case cases[] = {
        {"keyboard select at the icon", NIN_KEYSELECT, point(1012, 758), {1012, 758}},
        {"context menu key", WM_CONTEXTMENU, point(1012, 758), {1012, 758}},
        {"click", NIN_SELECT, point(990, 760), {990, 760}},
        {"an icon on a display left of the main one", NIN_KEYSELECT, point(-40, 1000), {-40, 1000}},
        {"above the main one", NIN_KEYSELECT, point(300, -20), {300, -20}},
        // No point came: the cursor, which rests elsewhere.
        {"no point", NIN_KEYSELECT, 0, {600, 700}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteRunningState({{L"label_open", L"Open"}});
        const std::unique_ptr<TrayCompanion> companion = StartCompanion();
        fake->script.cursor = POINT{600, 700};
        Send(kTrayCallbackMessage, c.wParam, MAKELPARAM(c.event, kTrayIconId));
        const fake::Call track = fake->CallsNamed("TrackPopupMenu").at(0);
        EXPECT_EQ(std::make_pair(track.Signed("x"), track.Signed("y")), c.at);
    }
}

TEST_F(TrayCompanionTest, AChangeOfTheDisplaysGivesTheShellAnImageOfTheTaskbarsSize) {
    // The taskbar draws its icons at the small-icon size of its own display. When that changes
    // (the scale, the main display), an image of the new size is loaded, handed to the shell, and
    // the old one destroyed once the shell has the new one.
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
        UINT dpiAfter;
        std::int64_t loadedSize;  // 0: nothing loaded
        std::string request;      // what hands the shell the new image
    };
    const Case cases[] = {
        {"scale changed to 150 %", WM_DPICHANGED, 0, 144, 24, "NIM_MODIFY"},
        {"main display changed", WM_DISPLAYCHANGE, 32, 168, 28, "NIM_MODIFY"},
        {"taskbar moved to a display at 225 %", WM_SETTINGCHANGE, SPI_SETWORKAREA, 216, 36,
         "NIM_MODIFY"},
        {"taskbar re-created at 250 %", kTaskbarCreated, 0, 240, 40, "NIM_ADD"},
        {"same size", WM_DPICHANGED, 0, 96, 0, ""},
        {"re-created at the same size", kTaskbarCreated, 0, 96, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteRunningState({});
        const std::unique_ptr<TrayCompanion> companion = StartCompanion();
        ASSERT_EQ(fake->liveImages, std::vector<HICON>{fake::LoadedImage(0)});
        fake->script.taskbarDpi = c.dpiAfter;

        Send(c.message, c.wParam);

        const auto loads = fake->CallsNamed("LoadImageW");
        if (c.loadedSize == 0) {
            EXPECT_TRUE(loads.empty());
            EXPECT_TRUE(fake->CallsNamed("DestroyIcon").empty());
            EXPECT_EQ(fake->liveImages, std::vector<HICON>{fake::LoadedImage(0)});
            continue;
        }
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0].Signed("cx"), c.loadedSize);
        EXPECT_EQ(loads[0].Signed("cy"), c.loadedSize);
        ExpectInOrder({"LoadImageW", c.request, "DestroyIcon"});
        const auto requests = fake->CallsNamed("Shell_NotifyIconW");
        const auto given = std::find_if(requests.begin(), requests.end(), [&](const fake::Call& r) {
            return CallLabel(r) == c.request;
        });
        ASSERT_NE(given, requests.end());
        EXPECT_NE(given->record.uFlags & NIF_ICON, 0u);
        EXPECT_EQ(given->record.hIcon, fake::LoadedImage(1));
        // A long run holds one image: the one the shell was given.
        EXPECT_EQ(fake->liveImages, std::vector<HICON>{fake::LoadedImage(1)});
    }
}

TEST_F(TrayCompanionTest, TheIconSizeWithoutThePerDisplayCallsOrATaskbar) {
    // Before Windows 10 1607 the scale of a display cannot be asked (0), and without a taskbar
    // there is no display to ask about: the system's small-icon size (16 in the fake).
    for (const bool taskbar : {true, false}) {
        SCOPED_TRACE(taskbar ? "no per-display scale" : "no taskbar");
        StartRow();
        WriteRunningState({});
        fake->script.taskbarDpi = 0;
        if (!taskbar) {
            fake->script.taskbar = nullptr;
        }
        TrayCompanion companion(options);
        ASSERT_TRUE(companion.Start(nullptr));
        const fake::Call load = fake->CallsNamed("LoadImageW").at(0);
        EXPECT_EQ(load.Signed("cx"), 16);
        EXPECT_EQ(load.Signed("cy"), 16);
        EXPECT_EQ(fake->CallsNamed("GetSystemMetrics").at(0).Signed("index"), SM_CXSMICON);
    }
}

TEST_F(TrayCompanionTest, AnImageThatCannotBeLoadedLeavesTheOldOneInUse) {
    WriteRunningState({});
    const std::unique_ptr<TrayCompanion> companion = StartCompanion();
    fake->script.taskbarDpi = 144;
    fake->script.imageLoadFails = true;
    Send(WM_DPICHANGED);
    EXPECT_TRUE(fake->CallsNamed("DestroyIcon").empty());
    EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
    EXPECT_EQ(companion->Icon().Record().hIcon, fake::LoadedImage(0));

    // The next change tries again.
    fake->script.imageLoadFails = false;
    Send(WM_DISPLAYCHANGE);
    EXPECT_EQ(companion->Icon().Record().hIcon, fake::LoadedImage(1));
    EXPECT_EQ(fake->liveImages, std::vector<HICON>{fake::LoadedImage(1)});
}

TEST_F(TrayCompanionTest, TheWindowFindsTheObjectThatCreatedIt) {
    // The object comes as the creation parameter and is kept in the window's user data with the
    // window's first message, before any other message of the window could need it.
    TrayCompanion companion(options);
    ASSERT_TRUE(companion.Start(nullptr));
    const fake::Call created = fake->CallsNamed("CreateWindowExW").at(0);
    EXPECT_EQ(created.Number("param"), fake::HandleValue(&companion));
    const fake::Call kept = fake->CallsNamed("SetWindowLongPtrW").at(0);
    EXPECT_EQ(kept.Signed("index"), GWLP_USERDATA);
    EXPECT_EQ(kept.Number("value"), fake::HandleValue(&companion));
    ExpectInOrder({"SetWindowLongPtrW", "RegisterWindowMessageW", "NIM_ADD"});
}

TEST_F(TrayCompanionTest, MessagesBeforeTheObjectOrAfterItGoToDefaultHandling) {
    // No object attached yet (a message before the creation message): default handling.
    EXPECT_EQ(Send(WM_TIMER, kRefreshTimerId), 0x5A5A);
    EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());

    WriteRunningState({});
    { const std::unique_ptr<TrayCompanion> companion = StartCompanion(); }
    // The object has gone: its window must not reach it any more.
    fake->calls.clear();
    EXPECT_EQ(Send(WM_TIMER, kRefreshTimerId), 0x5A5A);
    EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());

    // The same once the window itself has gone.
    const std::unique_ptr<TrayCompanion> companion = StartCompanion();
    Send(WM_NCDESTROY);
    fake->calls.clear();
    EXPECT_EQ(Send(WM_TIMER, kRefreshTimerId), 0x5A5A);
    EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
}

TEST_F(TrayCompanionTest, DestroyRemovesTheIconThenEndsTheLoop) {
    WriteRunningState({});
    const std::unique_ptr<TrayCompanion> companion = StartCompanion();
    EXPECT_EQ(Send(WM_DESTROY), 0);
    ExpectInOrder({"NIM_DELETE", "PostQuitMessage"});
    EXPECT_EQ(fake->CallsNamed("PostQuitMessage").at(0).Signed("exitCode"), 0);
}

TEST_F(TrayCompanionTest, UnregisteredTaskbarMessageGoesToDefaultHandling) {
    // With no registered message, message number 0 must not pass for TaskbarCreated.
    WriteRunningState({});
    fake->script.taskbarCreatedMessage = 0;
    TrayCompanion companion(options);
    ASSERT_TRUE(companion.Start(nullptr));
    fake->calls.clear();
    EXPECT_EQ(Send(0), 0x5A5A);
    EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
    EXPECT_TRUE(companion.Icon().IsAdded());
}

TEST_F(TrayCompanionTest, EventsInsideARequestBelongToTheBalloonBeforeIt) {
    // W's balloon has ended and X is being requested, Y waiting behind it. The shell's sent
    // messages run the window procedure while it answers: each of them must act as news of W's
    // balloon or as an ordinary tick, never show a notice over X, never open X's target, and
    // leave the program exactly as the shell's answer says.
    enum class Event { Click, Timeout, Hide, Tick, TaskbarCreated };
    struct Case {
        std::string name;
        Event event;
        bool accepted;
    };
    std::vector<Case> cases;
    const std::pair<const char*, Event> events[] = {{"click", Event::Click},
                                                    {"timeout", Event::Timeout},
                                                    {"hide", Event::Hide},
                                                    {"tick", Event::Tick},
                                                    {"taskbar re-created", Event::TaskbarCreated}};
    for (bool accepted : {true, false}) {
        for (const auto& [name, event] : events) {
            cases.push_back(
                {std::string(name) + (accepted ? ", accepted" : ", refused"), event, accepted});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteRunningState({{L"notices", L"3"}},
                          {NoticeSection(1, L"W", L"info", {.target = L"app:wscreen"}),
                           NoticeSection(2, L"X", L"info", {.target = L"app:xscreen"}),
                           NoticeSection(3, L"Y", L"info", {.target = L"app:yscreen"})});
        const std::unique_ptr<TrayCompanion> companion = StartCompanion();
        ASSERT_EQ(companion->Notices().CurrentNotice().id, L"W");
        fake->script.notifyAnswers[NIM_MODIFY] = {c.accepted ? TRUE : FALSE};
        fake->script.whileNotifying = [&c](DWORD) {
            switch (c.event) {
                case Event::Click:
                    SendEvent(NIN_BALLOONUSERCLICK);
                    break;
                case Event::Timeout:
                    SendEvent(NIN_BALLOONTIMEOUT);
                    break;
                case Event::Hide:
                    SendEvent(NIN_BALLOONHIDE);
                    break;
                case Event::Tick:
                    Send(WM_TIMER, kRefreshTimerId);
                    break;
                case Event::TaskbarCreated:
                    Send(kTaskbarCreated);
                    break;
            }
        };

        // W's balloon ends; X is requested.
        SendEvent(NIN_BALLOONTIMEOUT);

        // One balloon was asked for: nothing was requested from inside the request.
        EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"X"});
        // A click inside is a click on W's balloon.
        const auto starts = fake->CallsNamed("CreateProcessW");
        if (c.event == Event::Click) {
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_TRUE(starts[0].Text("commandLine").ends_with(L" --screen wscreen"))
                << Narrow(starts[0].Text("commandLine"));
        } else {
            EXPECT_TRUE(starts.empty());
        }
        const Balloons& balloons = companion->Notices();
        EXPECT_EQ(QueueIds(balloons), std::vector<std::wstring>{L"Y"});
        EXPECT_FALSE(balloons.RequestedNoticeId().has_value());
        EXPECT_TRUE(companion->Icon().IsAdded());
        // A taskbar re-created while the shell answered never got X, whatever the answer: no
        // balloon is counted as showing (it would hold every notice back for five minutes).
        const bool taken = c.accepted && c.event != Event::TaskbarCreated;
        EXPECT_EQ(balloons.IsBalloonShowing(), taken);
        if (taken) {
            EXPECT_EQ(balloons.CurrentNotice().id, L"X");
            EXPECT_EQ(ReadSeen(L"shown", L"X"), L"1");
            EXPECT_EQ(ReadSeen(L"shown", L"Y"), L"");
            continue;
        }
        // Refused, or lost with the old taskbar: as if never asked. W is still the notice a
        // late click opens, nothing was marked, and the next pass offers X again.
        EXPECT_EQ(balloons.CurrentNotice().id, L"W");
        EXPECT_EQ(ReadSeen(L"shown", L"X"), L"");
        Send(WM_TIMER, kRefreshTimerId);
        EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"X", L"Y"}));
        EXPECT_EQ(QueueIds(balloons), std::vector<std::wstring>{L"X"});
    }
}

TEST_F(TrayCompanionTest, ATickRefreshesTheIconThenCountsTheBalloonThenPolls) {
    // The balloon's own end comes before the pass, so that a notice the pass finds can follow
    // a balloon that the tick ended, in the same tick.
    ListTwoNotices();
    const std::unique_ptr<TrayCompanion> companion = StartCompanion();
    for (int tick = 1; tick <= 30; ++tick) {
        Send(WM_TIMER, kRefreshTimerId);
    }
    fake->calls.clear();

    Send(WM_TIMER, kRefreshTimerId);

    ExpectInOrder({"NIM_MODIFY", "NIM_MODIFY balloon", "GetPrivateProfileStringW"});
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"Next"});
}

}  // namespace
