#include "app/tray_window.h"

#include "notices/notice.h"
#include "test_support.h"
#include "tray/tray_record.h"

namespace {

class TrayWindowProcTest : public LogicTest {
  protected:
    void Arrange() override {
        fake::script.taskbarCreatedMessage = 0xC0DE;
        TaskbarCreatedMessage = 0xC0DE;
        trayWindow = fake::kTrayWindowHandle;
        trayRecord.hWnd = trayWindow;
        trayRecord.uID = 1;
    }
};

// What one message must cause: what it changes outside the program, in order, the flags it must
// leave and its result.
struct DispatchCase {
    const char* name;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::vector<std::string> effects;
    bool iconAddedAfter;
    bool balloonShowingAfter;
    LRESULT result;
};

LPARAM Event(WORD event) {
    return MAKELPARAM(event, 1);
}

TEST_F(TrayWindowProcTest, DispatchesEachMessage) {
    using Names = std::vector<std::string>;
    const Names menu = {"CreatePopupMenu", "TrackPopupMenu"};
    const Names next = {"NIM_MODIFY balloon", "WritePrivateProfileStringW"};
    const Names clickThenNext = {"CreateProcessW", "NIM_MODIFY balloon",
                                 "WritePrivateProfileStringW"};
    const DispatchCase cases[] = {
        // The re-created taskbar lost the icon and the balloon: add again, switch the version,
        // and show no notice yet.
        {"TaskbarCreated", 0xC0DE, 0, 0, {"NIM_ADD", "NIM_SETVERSION"}, true, false, 0},
        // A tick refreshes the tooltip, then polls; the balloon on screen holds the next back.
        {"timer tick", WM_TIMER, 1, 0, {"NIM_MODIFY"}, true, true, 0},
        {"timer tick of another id", WM_TIMER, 7, 0, {"NIM_MODIFY"}, true, true, 0},
        {"context menu", TrayCallbackMessage, 0, Event(WM_CONTEXTMENU), menu, true, true, 0},
        {"select", TrayCallbackMessage, 0, Event(NIN_SELECT), menu, true, true, 0},
        {"keyboard select", TrayCallbackMessage, 0, Event(NIN_KEYSELECT), menu, true, true, 0},
        {"balloon shown", TrayCallbackMessage, 0, Event(NIN_BALLOONSHOW), {}, true, true, 0},
        {"balloon hidden", TrayCallbackMessage, 0, Event(NIN_BALLOONHIDE), next, true, true, 0},
        {"balloon timed out", TrayCallbackMessage, 0, Event(NIN_BALLOONTIMEOUT), next, true, true,
         0},
        {"balloon clicked", TrayCallbackMessage, 0, Event(NIN_BALLOONUSERCLICK), clickThenNext,
         true, true, 0},
        {"mouse move", TrayCallbackMessage, 0, Event(WM_MOUSEMOVE), {}, true, true, 0},
        {"left button up", TrayCallbackMessage, 0, Event(WM_LBUTTONUP), {}, true, true, 0},
        {"right button up", TrayCallbackMessage, 0, Event(WM_RBUTTONUP), {}, true, true, 0},
        {"event above the balloon events",
         TrayCallbackMessage,
         0,
         Event(0x0406),
         {},
         true,
         true,
         0},
        // The event is the low word alone.
        {"event in the high word",
         TrayCallbackMessage,
         0,
         MAKELPARAM(0, NIN_SELECT),
         {},
         true,
         true,
         0},
        {"destroy", WM_DESTROY, 0, 0, {"NIM_DELETE", "PostQuitMessage"}, true, true, 0},
        {"anything else", WM_SETTINGCHANGE, 3, 4, {"DefWindowProcW"}, true, true, 0x5A5A},
        {"WM_NULL", WM_NULL, 0, 0, {"DefWindowProcW"}, true, true, 0x5A5A},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        WriteRunningState({L"label_open=Open", L"label_running=Running", L"notices=1"},
                          {L"[notice1]", L"id=cur", L"kind=info", L"title=Current"});
        iconAdded = true;
        balloonShowing = true;
        currentNotice = Notice{L"cur", L"info", L"app:news", L"Current", L""};
        NoticeQueue = {Notice{L"next", L"info", L"", L"Next", L"Body"}};

        const LRESULT result = TrayWindowProc(trayWindow, c.message, c.wParam, c.lParam);

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(Effects(), c.effects);
        EXPECT_EQ(iconAdded, c.iconAddedAfter);
        EXPECT_EQ(balloonShowing, c.balloonShowingAfter);
    }
}

TEST_F(TrayWindowProcTest, BalloonClickOpensTargetBeforeShowingNext) {
    WriteRunningState({});
    iconAdded = true;
    balloonShowing = true;
    currentNotice = Notice{L"cur", L"info", L"app:news", L"Current", L""};
    NoticeQueue = {Notice{L"next", L"danger", L"", L"Next", L"Body"}};

    TrayWindowProc(trayWindow, TrayCallbackMessage, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));

    const auto launches = fake::CallsNamed("CreateProcessW");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].Text("commandLine"),
              L"\"C:\\Python\\pythonw.exe\" -I \"C:\\App\\launch.py\" --screen news");
    const auto names = fake::CallNames();
    const auto launch = std::find(names.begin(), names.end(), "CreateProcessW");
    const auto balloon = std::find(names.begin(), names.end(), "Shell_NotifyIconW");
    EXPECT_LT(launch, balloon);
    EXPECT_EQ(currentNotice.id, L"next");
    EXPECT_TRUE(balloonShowing);
    EXPECT_EQ(ReadSeen(L"shown", L"next"), L"1");
}

TEST_F(TrayWindowProcTest, ClosingEventsActEvenWithoutBalloon) {
    // The shell may report a balloon's end after the taskbar was re-created: the handler still
    // runs, and a click opens whatever notice was taken last.
    WriteRunningState({});
    iconAdded = true;
    currentNotice = Notice{L"cur", L"info", L"app:stop", L"Current", L""};
    TrayWindowProc(trayWindow, TrayCallbackMessage, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 1));
    ASSERT_EQ(fake::CallsNamed("CreateProcessW").size(), 1u);
    EXPECT_NE(fake::CallsNamed("CreateProcessW")[0].Text("commandLine").find(L"--screen stop"),
              std::wstring::npos);
}

TEST_F(TrayWindowProcTest, DestroyDeletesIconOnlyWhenAdded) {
    for (bool added : {true, false}) {
        SCOPED_TRACE(added);
        ResetProgramState();
        iconAdded = added;
        EXPECT_EQ(TrayWindowProc(trayWindow, WM_DESTROY, 0, 0), 0);
        std::vector<std::string> expected = {"PostQuitMessage"};
        if (added) {
            expected.insert(expected.begin(), "Shell_NotifyIconW");
            const fake::Call remove = fake::CallsNamed("Shell_NotifyIconW")[0];
            EXPECT_EQ(remove.Number("message"), static_cast<std::uint64_t>(NIM_DELETE));
            EXPECT_EQ(remove.record.hWnd, trayWindow);
            EXPECT_EQ(remove.record.uID, 1u);
        }
        EXPECT_EQ(fake::CallNames(), expected);
        EXPECT_EQ(fake::CallsNamed("PostQuitMessage")[0].Signed("exitCode"), 0);
        EXPECT_EQ(iconAdded, added);
    }
}

TEST_F(TrayWindowProcTest, UnregisteredTaskbarMessageGoesToDefaultHandling) {
    // With no registered message, message number 0 must not pass for TaskbarCreated.
    TaskbarCreatedMessage = 0;
    iconAdded = true;
    EXPECT_EQ(TrayWindowProc(trayWindow, 0, 0, 0), 0x5A5A);
    EXPECT_TRUE(iconAdded);
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"DefWindowProcW"});
}

}  // namespace
