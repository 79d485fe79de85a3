#include "notices/balloon.h"

#include "app/tray_window.h"
#include "core/startup_options.h"
#include "notices/notice.h"
#include "notices/notice_queue.h"
#include "test_support.h"
#include "tray/tray_record.h"
#include "web_host.h"

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr wchar_t kTip[] = L"Vestrel: running";

class ShowNextNoticeTest : public LogicTest {
  protected:
    void Arrange() override {
        // The record as start-up and the tooltip refresh leave it.
        trayRecord.cbSize = sizeof(trayRecord);
        trayRecord.hWnd = fake::kTrayWindowHandle;
        trayRecord.uID = kTrayIconId;
        trayRecord.uCallbackMessage = TrayCallbackMessage;
        trayRecord.hIcon = fake::kIconHandle;
        trayRecord.uFlags = kTrayIconFlags;
        CopyToField(trayRecord.szTip, kTip);
        iconAdded = true;
        fake::script.taskbarCreatedMessage = 0xC0DE;
        TaskbarCreatedMessage = 0xC0DE;
    }
};

Notice MakeNotice(const std::wstring& id, const std::wstring& kind,
                  const std::wstring& title = L"A title", const std::wstring& body = L"A body") {
    return Notice{id, kind, L"app:home", title, body};
}

std::vector<std::wstring> QueueIds() {
    std::vector<std::wstring> ids;
    for (const Notice& notice : NoticeQueue) {
        ids.push_back(notice.id);
    }
    return ids;
}

using SeenWrite = std::tuple<std::wstring, std::wstring, std::wstring>;

std::vector<SeenWrite> SeenWrites() {
    std::vector<SeenWrite> writes;
    for (const fake::Call& call : fake::CallsNamed("WritePrivateProfileStringW")) {
        writes.emplace_back(call.Text("section"), call.Text("key"), call.Text("value"));
    }
    return writes;
}

std::vector<std::wstring> Section(int index, const std::wstring& id, const std::wstring& kind) {
    return {L"[notice" + std::to_wstring(index) + L"]", L"id=" + id, L"kind=" + kind,
            L"title=" + id, L"body=About " + id};
}

TEST_F(ShowNextNoticeTest, DoesNothingUnlessABalloonCanBeShown) {
    struct Case {
        const char* name;
        bool showing;
        bool queued;
        bool icon;
    };
    const Case cases[] = {
        {"a balloon is on screen", true, true, true},
        {"the queue is empty", false, false, true},
        {"the shell does not hold the icon", false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        currentNotice = MakeNotice(L"before", L"info");
        if (c.queued) {
            NoticeQueue = {MakeNotice(L"next", L"danger")};
        }
        balloonShowing = c.showing;
        iconAdded = c.icon;

        ShowNextNotice();

        EXPECT_TRUE(fake::calls.empty());
        EXPECT_EQ(currentNotice.id, L"before");
        EXPECT_EQ(QueueIds(),
                  c.queued ? std::vector<std::wstring>{L"next"} : std::vector<std::wstring>{});
        EXPECT_EQ(balloonShowing, c.showing);
    }
}

TEST_F(ShowNextNoticeTest, FillsOnlyTheBalloonFields) {
    const wchar_t pair[] = L"\U0001F600";  // one character, two code units
    struct Case {
        const char* name;
        Notice notice;
        std::wstring title;
        std::wstring text;
        DWORD infoFlags;
    };
    const Case cases[] = {
        {"danger warns", MakeNotice(L"d", L"danger", L"Disk full", L"Free some space"),
         L"Disk full", L"Free some space", NIIF_WARNING},
        {"info informs", MakeNotice(L"i", L"info", L"Update", L"Ready"), L"Update", L"Ready",
         NIIF_INFO},
        {"nudge informs", MakeNotice(L"u", L"nudge", L"Tip", L"Try this"), L"Tip", L"Try this",
         NIIF_INFO},
        {"long texts are cut",
         MakeNotice(L"l", L"info", std::wstring(70, L't'), std::wstring(300, L'b')),
         std::wstring(63, L't'), std::wstring(255, L'b'), NIIF_INFO},
        {"texts that just fit pass whole",
         MakeNotice(L"f", L"info", std::wstring(63, L't'), std::wstring(255, L'b')),
         std::wstring(63, L't'), std::wstring(255, L'b'), NIIF_INFO},
        {"a pair across the cut leaves whole",
         MakeNotice(L"p", L"info", std::wstring(62, L't') + pair + L"tail",
                    std::wstring(254, L'b') + pair + L"tail"),
         std::wstring(62, L't'), std::wstring(254, L'b'), NIIF_INFO},
        {"a pair that ends at the limit stays",
         MakeNotice(L"e", L"info", std::wstring(61, L't') + pair + L"tail",
                    std::wstring(253, L'b') + pair + L"tail"),
         std::wstring(61, L't') + pair, std::wstring(253, L'b') + pair, NIIF_INFO},
        {"an empty body becomes a blank", MakeNotice(L"b", L"info", L"Title only", L""),
         L"Title only", L" ", NIIF_INFO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        NoticeQueue = {c.notice};

        ShowNextNotice();

        const std::vector<fake::Call> sent = fake::CallsNamed("Shell_NotifyIconW");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].Number("message"), static_cast<std::uint64_t>(NIM_MODIFY));
        const NOTIFYICONDATAW& record = sent[0].record;
        EXPECT_EQ(record.uFlags, static_cast<UINT>(NIF_INFO));
        EXPECT_EQ(std::wstring(record.szInfoTitle), c.title);
        EXPECT_EQ(std::wstring(record.szInfo), c.text);
        EXPECT_EQ(record.dwInfoFlags, c.infoFlags);
        EXPECT_EQ(record.hWnd, fake::kTrayWindowHandle);
        EXPECT_EQ(record.uID, kTrayIconId);
        EXPECT_EQ(std::wstring(record.szTip), kTip);
        // The cut is the record's alone.
        EXPECT_EQ(currentNotice.title, c.notice.title);
        EXPECT_EQ(currentNotice.body, c.notice.body);
        EXPECT_TRUE(balloonShowing);
        EXPECT_TRUE(NoticeQueue.empty());
    }
}

TEST_F(ShowNextNoticeTest, MarksTheShownNoticeAndANudgesDay) {
    struct Case {
        const wchar_t* kind;
        bool stampsDay;
    };
    for (const Case& c : {Case{L"info", false}, Case{L"danger", false}, Case{L"nudge", true}}) {
        SCOPED_TRACE(Narrow(c.kind));
        ResetProgramState();
        // A seen file of its own for each kind.
        startupOptions.seenPath = folder + L"\\" + c.kind + L"\\seen.ini";
        NoticeQueue = {MakeNotice(L"id-1", c.kind)};

        ShowNextNotice();

        std::vector<SeenWrite> expected = {{L"shown", L"id-1", L"1"}};
        if (c.stampsDay) {
            expected.emplace_back(L"prefs", L"last_nudge_day", L"20260305");
        }
        EXPECT_EQ(SeenWrites(), expected);
        EXPECT_EQ(ReadSeen(L"shown", L"id-1"), L"1");
        EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), c.stampsDay ? L"20260305" : L"");
    }
}

TEST_F(ShowNextNoticeTest, ANudgeStampsTheDayOfItsDisplay) {
    // Queued late on the 5th behind another balloon, while nudges were not yet muted.
    fake::script.localTime = SYSTEMTIME{2026, 3, 4, 5, 23, 59, 0, 0};
    currentNotice = MakeNotice(L"screen", L"info");
    balloonShowing = true;
    WriteRunningState({L"notices=1"}, Section(1, L"U1", L"nudge"));
    PollNotices();
    ASSERT_EQ(QueueIds(), (std::vector<std::wstring>{L"U1"}));

    // Muted and past midnight by the time the balloon closes: neither is asked again.
    WriteSeenFile({L"[prefs]", L"mute_nudges=1"});
    fake::script.localTime = SYSTEMTIME{2026, 3, 5, 6, 0, 1, 0, 0};
    balloonShowing = false;
    ShowNextNotice();

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"U1"}));
    EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), L"20260306");
}

TEST_F(ShowNextNoticeTest, ARefusedBalloonLeavesItsNoticeUnmarkedForTheNextPass) {
    WriteRunningState({L"notices=2"}, {L"[notice1]", L"id=x", L"kind=info", L"title=x",
                                       L"[notice2]", L"id=y", L"kind=info", L"title=y"});
    fake::script.notifyAnswers[NIM_MODIFY] = {FALSE};
    currentNotice = MakeNotice(L"before", L"info");

    PollNotices();

    // One call offers one notice: y waits, and x is gone from the queue unmarked. The program is
    // as if it had not asked: the notice of the last balloon is still the one a late click opens.
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"x"}));
    EXPECT_EQ(QueueIds(), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(currentNotice.id, L"before");
    EXPECT_FALSE(balloonShowing);
    EXPECT_TRUE(SeenWrites().empty());
    EXPECT_FALSE(std::filesystem::exists(startupOptions.seenPath));

    // The next pass finds x still listed and queues it again, at the back.
    fake::calls.clear();
    PollNotices();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(QueueIds(), (std::vector<std::wstring>{L"x"}));

    balloonShowing = false;
    ShowNextNotice();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"y", L"x"}));
    EXPECT_EQ(ReadSeen(L"shown", L"x"), L"1");
    EXPECT_EQ(ReadSeen(L"shown", L"y"), L"1");
}

}  // namespace

namespace {

TEST_F(ShowNextNoticeTest, EventsInsideARequestBelongToTheBalloonBeforeIt) {
    // W's balloon has ended and X is being requested, Y waiting behind it. The shell's sent
    // messages run the window procedure while it answers: each of them must act as news of W's
    // balloon or as an ordinary tick, never show a notice over X, never open X's target, and
    // leave the program exactly as the shell's answer says.
    enum class Event { Click, Timeout, Hide, Tick, TaskbarCreated };
    struct Case {
        const char* name;
        Event event;
        bool accepted;
    };
    std::vector<Case> cases;
    for (bool accepted : {true, false}) {
        cases.push_back({accepted ? "click, accepted" : "click, refused", Event::Click, accepted});
        cases.push_back(
            {accepted ? "timeout, accepted" : "timeout, refused", Event::Timeout, accepted});
        cases.push_back({accepted ? "hide, accepted" : "hide, refused", Event::Hide, accepted});
        cases.push_back({accepted ? "tick, accepted" : "tick, refused", Event::Tick, accepted});
        cases.push_back({accepted ? "taskbar re-created, accepted" : "taskbar re-created, refused",
                         Event::TaskbarCreated, accepted});
    }
    const Notice w{L"W", L"info", L"app:wscreen", L"W", L"About W"};
    const Notice x{L"X", L"info", L"app:xscreen", L"X", L"About X"};
    const Notice y{L"Y", L"info", L"app:yscreen", L"Y", L"About Y"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        std::filesystem::remove_all(folder + L"\\memory");
        WriteRunningState({L"notices=3"}, {L"[notice1]", L"id=W", L"kind=info", L"title=W",
                                           L"[notice2]", L"id=X", L"kind=info", L"title=X",
                                           L"[notice3]", L"id=Y", L"kind=info", L"title=Y"});
        WriteSeenFile({L"[shown]", L"W=1"});
        currentNotice = w;
        NoticeQueue = {x, y};
        fake::script.notifyAnswers[NIM_MODIFY] = {c.accepted ? TRUE : FALSE};
        fake::script.whileNotifying = [&c](DWORD) {
            switch (c.event) {
                case Event::Click:
                case Event::Timeout:
                case Event::Hide: {
                    const WORD event = c.event == Event::Click     ? NIN_BALLOONUSERCLICK
                                       : c.event == Event::Timeout ? NIN_BALLOONTIMEOUT
                                                                   : NIN_BALLOONHIDE;
                    TrayWindowProc(fake::kTrayWindowHandle, TrayCallbackMessage, 0,
                                   MAKELPARAM(event, kTrayIconId));
                    break;
                }
                case Event::Tick:
                    TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
                    break;
                case Event::TaskbarCreated:
                    TrayWindowProc(fake::kTrayWindowHandle, 0xC0DE, 0, 0);
                    break;
            }
        };

        ShowNextNotice();

        // One balloon was asked for: nothing was requested from inside the request.
        EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"X"});
        // A click inside is a click on W's balloon.
        const auto starts = fake::CallsNamed("CreateProcessW");
        if (c.event == Event::Click) {
            ASSERT_EQ(starts.size(), 1u);
            EXPECT_TRUE(starts[0].Text("commandLine").ends_with(L" --screen wscreen"))
                << Narrow(starts[0].Text("commandLine"));
        } else {
            EXPECT_TRUE(starts.empty());
        }
        EXPECT_EQ(QueueIds(), std::vector<std::wstring>{L"Y"});
        EXPECT_FALSE(requestedNoticeId.has_value());
        EXPECT_TRUE(iconAdded);
        EXPECT_EQ(balloonShowing, c.accepted);
        if (c.accepted) {
            EXPECT_EQ(currentNotice.id, L"X");
            EXPECT_EQ(ReadSeen(L"shown", L"X"), L"1");
            EXPECT_EQ(ReadSeen(L"shown", L"Y"), L"");
            continue;
        }
        // Refused: as if never asked. W is still the notice a late click opens, nothing was
        // marked, and the next pass offers X again.
        EXPECT_EQ(currentNotice.id, L"W");
        EXPECT_EQ(ReadSeen(L"shown", L"X"), L"");
        PollNotices();
        EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"X", L"Y"}));
        EXPECT_EQ(QueueIds(), std::vector<std::wstring>{L"X"});
    }
}

TEST_F(ShowNextNoticeTest, TheProgramEndsABalloonWhoseEndIsNeverReported) {
    // A shell that never reports (notifications off, quiet hours) would hold back every later
    // notice, "danger" included, for the rest of the run.
    WriteRunningState({});
    NoticeQueue = {MakeNotice(L"first", L"info", L"first"),
                   MakeNotice(L"late", L"danger", L"late")};
    ShowNextNotice();
    ASSERT_TRUE(balloonShowing);

    for (int tick = 1; tick <= 30; ++tick) {
        TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
    }
    EXPECT_TRUE(balloonShowing);
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"first"});

    // The 31st tick that finds it showing: ended as if it had timed out, and the next follows.
    TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"first", L"late"}));
    EXPECT_TRUE(balloonShowing);
    EXPECT_EQ(currentNotice.id, L"late");
    EXPECT_EQ(ReadSeen(L"shown", L"late"), L"1");
}

TEST_F(ShowNextNoticeTest, AnyReportedEndStartsTheCountAgain) {
    struct Case {
        const char* name;
        UINT message;
        LPARAM lParam;
    };
    const Case cases[] = {
        {"hide", TrayCallbackMessage, MAKELPARAM(NIN_BALLOONHIDE, kTrayIconId)},
        {"timeout", TrayCallbackMessage, MAKELPARAM(NIN_BALLOONTIMEOUT, kTrayIconId)},
        {"click", TrayCallbackMessage, MAKELPARAM(NIN_BALLOONUSERCLICK, kTrayIconId)},
        {"taskbar re-created", 0xC0DE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProgramState();
        std::filesystem::remove_all(folder + L"\\memory");
        WriteRunningState({});
        NoticeQueue = {MakeNotice(L"a", L"info", L"a"), MakeNotice(L"b", L"info", L"b")};
        ShowNextNotice();
        for (int tick = 1; tick <= 20; ++tick) {
            TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
        }
        // After the end, b goes up at once, or (after a re-created taskbar) at the next tick.
        TrayWindowProc(fake::kTrayWindowHandle, c.message, 0, c.lParam);
        if (c.message == 0xC0DE) {
            TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
        }
        ASSERT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"a", L"b"}));
        ASSERT_EQ(currentNotice.id, L"b");

        // b has its own 30 ticks, counted from its own display, not from a's.
        for (int tick = 1; tick <= 30; ++tick) {
            TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
        }
        EXPECT_TRUE(balloonShowing);
        TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
        EXPECT_FALSE(balloonShowing);
    }
}

TEST_F(ShowNextNoticeTest, ASeenFileThatStoresNothingStillShowsEachNoticeOnce) {
    // A folder stands where the seen file should be: no mark is ever stored.
    std::filesystem::create_directories(startupOptions.seenPath);
    std::vector<std::wstring> sections = Section(1, L"one", L"info");
    const std::vector<std::wstring> second = Section(2, L"two", L"danger");
    sections.insert(sections.end(), second.begin(), second.end());
    WriteRunningState({L"notices=2"}, sections);

    PollNotices();
    for (int round = 0; round < 10; ++round) {
        TrayWindowProc(fake::kTrayWindowHandle, TrayCallbackMessage, 0,
                       MAKELPARAM(NIN_BALLOONTIMEOUT, kTrayIconId));
        TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
    }

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"two", L"one"}));
    EXPECT_EQ(ReadSeen(L"shown", L"one"), L"");
    EXPECT_TRUE(std::filesystem::is_directory(startupOptions.seenPath));
}

TEST_F(ShowNextNoticeTest, AClickOpensTheTargetItWasGivenWhateverHappensMeanwhile) {
    // The shell's hand-off may dispatch messages; a handler run meanwhile replaces currentNotice.
    WriteRunningState({});
    const std::wstring target = std::wstring(kCompanionWebOrigin) + L"/news/1";
    currentNotice = Notice{L"a", L"info", target, L"a", L""};
    fake::script.whileShellExecuting = [] {
        currentNotice =
            Notice{L"b", L"info",
                   std::wstring(kCompanionWebOrigin) + L"/" + std::wstring(300, L'z'), L"b", L""};
    };

    TrayWindowProc(fake::kTrayWindowHandle, TrayCallbackMessage, 0,
                   MAKELPARAM(NIN_BALLOONUSERCLICK, kTrayIconId));

    const auto opened = fake::CallsNamed("ShellExecuteW");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].Text("file"), target);
}

TEST_F(ShowNextNoticeTest, ATickWhileTheShellAnswersDoesNotQueueTheNoticeAgain) {
    WriteRunningState({L"notices=1"}, Section(1, L"X", L"info"));
    NoticeQueue = {MakeNotice(L"X", L"info", L"X")};
    fake::script.whileNotifying = [](DWORD) {
        TrayWindowProc(fake::kTrayWindowHandle, WM_TIMER, 1, 0);
    };

    ShowNextNotice();

    EXPECT_TRUE(NoticeQueue.empty());
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"X"});
}

}  // namespace
