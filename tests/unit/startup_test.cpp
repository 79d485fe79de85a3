#include "app/startup.h"

#include "app/tray_companion.h"
#include "test_support.h"
#include "web_host.h"

#include <algorithm>

namespace {

class RunTrayCompanionTest : public LogicTest {
  protected:
    void SetUp() override {
        LogicTest::SetUp();
        fake->script.commandLine = L"tray.exe --mutex Vestrel.Tray --state \"" + options.statePath +
                                   L"\" --seen \"" + options.seenPath +
                                   L"\" --pythonw p.exe --launcher l.py";
    }

    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(0x400000);
};

TEST_F(RunTrayCompanionTest, ExitCodesOfTheEarlyEnds) {
    struct Case {
        const char* name;
        std::wstring commandLine;
        fake::MutexAnswer mutex;
        bool windowFails;
        int exitCode;
        std::vector<std::string> lastCalls;
    };
    const std::wstring full = fake->script.commandLine;
    const Case cases[] = {
        {"options missing",
         L"tray.exe --mutex M",
         fake::MutexAnswer::Created,
         false,
         2,
         {"LocalFree"}},
        {"another instance",
         full,
         fake::MutexAnswer::AlreadyExists,
         false,
         0,
         {"CreateMutexW", "GetLastError", "CloseHandle"}},
        {"mutex refused", full, fake::MutexAnswer::Fails, false, 0, {"CreateMutexW"}},
        {"no window",
         full,
         fake::MutexAnswer::Created,
         true,
         3,
         {"RegisterClassW", "CreateWindowExW", "CloseHandle"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        fake->script.commandLine = c.commandLine;
        fake->script.mutex = c.mutex;
        fake->script.windowFails = c.windowFails;

        EXPECT_EQ(RunTrayCompanion(instance), c.exitCode);

        // Before anything can load a library on the program's behalf, the search is limited to
        // the system folder, whatever way the start then ends.
        ASSERT_FALSE(fake->calls.empty());
        EXPECT_EQ(fake->calls.front().name, "SetDefaultDllDirectories");
        EXPECT_EQ(fake->calls.front().Number("flags"),
                  static_cast<std::uint64_t>(LOAD_LIBRARY_SEARCH_SYSTEM32));
        const auto names = fake->CallNames();
        ASSERT_GE(names.size(), c.lastCalls.size());
        EXPECT_EQ(std::vector<std::string>(
                      names.end() - static_cast<std::ptrdiff_t>(c.lastCalls.size()), names.end()),
                  c.lastCalls);
        // None of them reads the state file or touches the notification area.
        EXPECT_TRUE(fake->CallsNamed("GetPrivateProfileStringW").empty());
        EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
    }
}

TEST_F(RunTrayCompanionTest, StartsInOrderShowsDueNoticeBeforeFirstTickAndEndsWithZero) {
    WriteRunningState({{L"notices", L"1"}, {L"label_title", L"Vestrel"}},
                      {NoticeSection(1, L"n1", L"info", {.title = L"Hello"})});
    // A tick arrives, then the window is destroyed from outside; the quit carries exit value 5,
    // which the program does not pass on.
    MSG tick{fake::kTrayWindowHandle, WM_TIMER, 1, 0, 0, {}};
    MSG destroy{fake::kTrayWindowHandle, WM_DESTROY, 0, 0, 0, {}};
    fake->script.messages = {tick, destroy};
    // The taskbar is on a display at 125 %, whatever the scale of the one the user signed in on.
    fake->script.taskbarDpi = 120;

    EXPECT_EQ(RunTrayCompanion(instance), 0);

    // The icon and the first pass's balloon before the first tick; the icon removed at the end.
    EXPECT_EQ(Effects(),
              (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION", "NIM_MODIFY balloon",
                                        "WritePrivateProfileStringW", "NIM_MODIFY", "NIM_DELETE",
                                        "PostQuitMessage"}));
    // The options are read before the mutex is asked for (a start without them ends with 2 even
    // while another instance runs); the window exists before the shell's broadcast is let
    // through to it and before the icon that names it is made; the timer starts last.
    ExpectInOrder({"SetDefaultDllDirectories", "CommandLineToArgvW", "CreateMutexW", "GetLastError",
                   "RegisterClassW", "CreateWindowExW", "RegisterWindowMessageW",
                   "ChangeWindowMessageFilterEx", "LoadImageW", "NIM_ADD", "NIM_MODIFY balloon",
                   "SetTimer", "GetMessageW"});

    const fake::Call mutex = fake->CallsNamed("CreateMutexW").at(0);
    EXPECT_EQ(mutex.Text("name"), L"Vestrel.Tray");
    EXPECT_EQ(mutex.Number("attributes"), 0u);
    EXPECT_EQ(mutex.Number("initialOwner"), static_cast<std::uint64_t>(TRUE));

    const fake::Call windowClass = fake->CallsNamed("RegisterClassW").at(0);
    EXPECT_EQ(windowClass.Text("lpszClassName"), L"VestrelTrayWindow");
    EXPECT_EQ(windowClass.Number("hInstance"), 0x400000u);
    const fake::Call window = fake->CallsNamed("CreateWindowExW").at(0);
    EXPECT_EQ(window.Text("className"), L"VestrelTrayWindow");
    // The mutex name is the window's title: tools find one tray's window by it among several.
    EXPECT_EQ(window.Text("windowName"), L"Vestrel.Tray");
    // A top-level window, so it receives broadcasts; never shown.
    EXPECT_EQ(window.Number("parent"), 0u);
    EXPECT_EQ(window.Number("style") & WS_VISIBLE, 0u);
    EXPECT_EQ(window.Number("instance"), 0x400000u);
    EXPECT_EQ(fake->CallsNamed("RegisterWindowMessageW").at(0).Text("name"), L"TaskbarCreated");
    // An elevated program would otherwise never hear the unelevated shell's broadcast.
    const fake::Call filter = fake->CallsNamed("ChangeWindowMessageFilterEx").at(0);
    EXPECT_EQ(filter.Number("window"), fake::HandleValue(fake::kTrayWindowHandle));
    EXPECT_EQ(filter.Number("message"), fake->script.taskbarCreatedMessage);
    EXPECT_EQ(filter.Number("action"), static_cast<std::uint64_t>(MSGFLT_ALLOW));
    EXPECT_EQ(filter.Number("changeFilterStruct"), 0u);
    const fake::Call icon = fake->CallsNamed("LoadImageW").at(0);
    EXPECT_EQ(icon.Number("instance"), 0x400000u);
    EXPECT_EQ(icon.Number("name"), 1u);  // the icon group's resource id
    EXPECT_EQ(icon.Number("type"), static_cast<std::uint64_t>(IMAGE_ICON));
    // The small-icon size of the taskbar's display, square: an image the icon group has, sharp.
    EXPECT_EQ(icon.Signed("cx"), 20);
    EXPECT_EQ(icon.Signed("cy"), 20);
    EXPECT_EQ(fake->CallsNamed("FindWindowW").at(0).Text("className"), L"Shell_TrayWnd");
    const fake::Call metric = fake->CallsNamed("GetSystemMetricsForDpi").at(0);
    EXPECT_EQ(metric.Number("index"), static_cast<std::uint64_t>(SM_CXSMICON));
    EXPECT_EQ(metric.Number("dpi"), 120u);
    // Given to the shell with the add, and destroyed once the program has gone.
    EXPECT_EQ(fake->CallsNamed("Shell_NotifyIconW").at(0).record.hIcon, fake::kIconHandle);
    EXPECT_TRUE(fake->liveImages.empty());
    EXPECT_EQ(icon.Number("flags"), static_cast<std::uint64_t>(LR_DEFAULTCOLOR));
    const fake::Call timer = fake->CallsNamed("SetTimer").at(0);
    EXPECT_EQ(timer.Number("window"), fake::HandleValue(fake::kTrayWindowHandle));
    EXPECT_EQ(timer.Number("id"), 1u);
    EXPECT_EQ(timer.Number("elapse"), 10000u);
    EXPECT_EQ(timer.Number("timerProc"), 0u);
    // The loop takes every message of the thread, not only the window's.
    const fake::Call loop = fake->CallsNamed("GetMessageW").at(0);
    EXPECT_EQ(loop.Number("window"), 0u);
    // No range: a filter would leave messages behind, such as the WM_NULL posted after a menu.
    EXPECT_EQ(loop.Number("filterMin"), 0u);
    EXPECT_EQ(loop.Number("filterMax"), 0u);
    // The mutex is held until the loop has ended.
    EXPECT_EQ(fake->CallsNamed("CloseHandle").back().Number("handle"),
              fake::HandleValue(fake::kMutexHandle));
    EXPECT_EQ(fake->calls.back().name, "CloseHandle");
    EXPECT_EQ(ReadSeen(L"shown", L"n1"), L"1");
    // Nothing was handed to the shell, so COM was never started.
    EXPECT_TRUE(fake->CallsNamed("CoInitializeEx").empty());
    EXPECT_TRUE(fake->CallsNamed("CoUninitialize").empty());
}

TEST_F(RunTrayCompanionTest, AMessageThatCouldNotBeRegisteredIsNotLetThroughTheFilter) {
    WriteRunningState({});
    fake->script.taskbarCreatedMessage = 0;
    EXPECT_EQ(RunTrayCompanion(instance), 0);
    EXPECT_TRUE(fake->CallsNamed("ChangeWindowMessageFilterEx").empty());
}

TEST_F(RunTrayCompanionTest, COMStartedForTheShellEndsAfterTheLoop) {
    // A run that never hands an address to the shell never starts COM (the test above shows
    // none); one that does ends it after the loop, while the mutex is still held.
    const std::wstring target = std::wstring(kCompanionWebOrigin) + L"/news";
    WriteRunningState({{L"notices", L"1"}},
                      {NoticeSection(1, L"n1", L"info", {.target = target, .title = L"Hello"})});
    MSG click{fake::kTrayWindowHandle,
              kTrayCallbackMessage,
              0,
              MAKELPARAM(NIN_BALLOONUSERCLICK, kTrayIconId),
              0,
              {}};
    MSG destroy{fake::kTrayWindowHandle, WM_DESTROY, 0, 0, 0, {}};
    fake->script.messages = {click, destroy};

    EXPECT_EQ(RunTrayCompanion(instance), 0);

    ExpectInOrder({"CoInitializeEx", "ShellExecuteW", "PostQuitMessage", "CoUninitialize"});
    EXPECT_EQ(fake->CallsNamed("CoUninitialize").size(), 1u);
    EXPECT_EQ(fake->calls.back().name, "CloseHandle");
    EXPECT_EQ(fake->calls.back().Number("handle"), fake::HandleValue(fake::kMutexHandle));
}

TEST_F(RunTrayCompanionTest, QuitFromElsewhereEndsWithZeroWithoutRemovingIcon) {
    WriteRunningState({});
    MSG quit{nullptr, WM_QUIT, 5, 0, 0, {}};
    fake->script.messages = {quit};
    EXPECT_EQ(RunTrayCompanion(instance), 0);
    EXPECT_EQ(Effects(), (std::vector<std::string>{"NIM_ADD", "NIM_SETVERSION"}));
}

}  // namespace
