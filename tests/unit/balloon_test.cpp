#include "notices/balloons.h"

#include "test_support.h"
#include "web_host.h"

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr wchar_t kTip[] = L"Vestrel\nRunning";

class BalloonsTest : public LogicTest {
  protected:
    // A running companion application listing these sections, with the tooltip's labels.
    void List(const profile_text::Profile& sections) {
        WriteRunningState({{L"notices", std::to_wstring(sections.size())},
                           {L"label_title", L"Vestrel"},
                           {L"label_running", L"Running"}},
                          sections);
    }

    using SeenWrite = std::tuple<std::wstring, std::wstring, std::wstring>;

    std::vector<SeenWrite> SeenWrites() const {
        std::vector<SeenWrite> writes;
        for (const fake::Call& call : fake->CallsNamed("WritePrivateProfileStringW")) {
            writes.emplace_back(call.Text("section"), call.Text("key"), call.Text("value"));
        }
        return writes;
    }
};

TEST_F(BalloonsTest, ShowsNothingUnlessABalloonCanBeShown) {
    struct Case {
        const char* name;
        bool showing;  // "before" is on screen
        bool queued;   // "next" waits
        bool icon;
    };
    const Case cases[] = {
        {"a balloon is on screen", true, true, true},
        {"the queue is empty", false, false, true},
        {"the shell does not hold the icon", false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        TrayParts parts(options);
        if (c.icon) {
            parts.AddIcon(*fake);
        }
        if (c.showing) {
            List({NoticeSection(1, L"before", L"info")});
            parts.balloons.PollNotices();
        }
        if (c.queued) {
            // Behind the balloon on screen, or with no icon to show it on.
            List({NoticeSection(1, c.showing ? L"before" : L"other", L"info"),
                  NoticeSection(2, L"next", L"danger")});
            parts.balloons.PollNotices();
        }
        fake->calls.clear();

        parts.balloons.ShowNextNotice();

        EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
        EXPECT_EQ(parts.balloons.CurrentNotice().id, c.showing ? L"before" : L"");
        const std::vector<std::wstring> waiting =
            c.showing ? std::vector<std::wstring>{L"next"}
                      : std::vector<std::wstring>{L"next", L"other"};
        EXPECT_EQ(QueueIds(parts.balloons), c.queued ? waiting : std::vector<std::wstring>{});
        EXPECT_EQ(parts.balloons.IsBalloonShowing(), c.showing);
    }
}

TEST_F(BalloonsTest, FillsOnlyTheBalloonFields) {
    const wchar_t pair[] = L"\U0001F600";  // one character, two code units
    struct Case {
        const char* name;
        Notice notice;
        std::wstring kind;
        std::wstring title;
        std::wstring text;
        DWORD infoFlags;
    };
    const Case cases[] = {
        {"danger warns", MakeNotice(L"d", NoticeKind::Danger, L"Disk full", L"Free some space"),
         L"danger", L"Disk full", L"Free some space", NIIF_WARNING},
        {"info informs", MakeNotice(L"i", NoticeKind::Info, L"Update", L"Ready"), L"info",
         L"Update", L"Ready", NIIF_INFO},
        {"nudge informs", MakeNotice(L"u", NoticeKind::Nudge, L"Tip", L"Try this"), L"nudge",
         L"Tip", L"Try this", NIIF_INFO},
        {"long texts are cut",
         MakeNotice(L"l", NoticeKind::Info, std::wstring(70, L't'), std::wstring(300, L'b')),
         L"info", std::wstring(63, L't'), std::wstring(255, L'b'), NIIF_INFO},
        {"texts that just fit pass whole",
         MakeNotice(L"f", NoticeKind::Info, std::wstring(63, L't'), std::wstring(255, L'b')),
         L"info", std::wstring(63, L't'), std::wstring(255, L'b'), NIIF_INFO},
        {"a pair across the cut leaves whole",
         MakeNotice(L"p", NoticeKind::Info, std::wstring(62, L't') + pair + L"tail",
                    std::wstring(254, L'b') + pair + L"tail"),
         L"info", std::wstring(62, L't'), std::wstring(254, L'b'), NIIF_INFO},
        {"a pair that ends at the limit stays",
         MakeNotice(L"e", NoticeKind::Info, std::wstring(61, L't') + pair + L"tail",
                    std::wstring(253, L'b') + pair + L"tail"),
         L"info", std::wstring(61, L't') + pair, std::wstring(253, L'b') + pair, NIIF_INFO},
        {"an empty body becomes a blank", MakeNotice(L"b", NoticeKind::Info, L"Title only", L""),
         L"info", L"Title only", L" ", NIIF_INFO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        // Every value of the notice given, the texts as they are.
        List({NoticeSection(
            1, c.notice.id, c.kind,
            {.target = c.notice.target, .title = c.notice.title, .body = c.notice.body})});
        TrayParts parts(options);
        parts.AddIcon(*fake);

        parts.balloons.PollNotices();

        const std::vector<fake::Call> sent = fake->CallsNamed("Shell_NotifyIconW");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].Number("message"), static_cast<std::uint64_t>(NIM_MODIFY));
        const NOTIFYICONDATAW& record = sent[0].record;
        // The balloon with the tooltip of the last refresh: with version 4, an update without
        // NIF_SHOWTIP leaves the icon without its standard tooltip until the next refresh.
        EXPECT_EQ(record.uFlags, static_cast<UINT>(NIF_INFO | NIF_TIP | NIF_SHOWTIP));
        EXPECT_EQ(std::wstring(record.szInfoTitle), c.title);
        EXPECT_EQ(std::wstring(record.szInfo), c.text);
        EXPECT_EQ(record.dwInfoFlags, c.infoFlags);
        EXPECT_EQ(record.hWnd, fake::kTrayWindowHandle);
        EXPECT_EQ(record.uID, kTrayIconId);
        EXPECT_EQ(std::wstring(record.szTip), kTip);
        // The cut is the record's alone.
        EXPECT_EQ(parts.balloons.CurrentNotice().title, c.notice.title);
        EXPECT_EQ(parts.balloons.CurrentNotice().body, c.notice.body);
        EXPECT_TRUE(parts.balloons.IsBalloonShowing());
        EXPECT_TRUE(parts.balloons.Queue().empty());
    }
}

TEST_F(BalloonsTest, MarksTheShownNoticeAndANudgesDay) {
    struct Case {
        const wchar_t* kind;
        bool stampsDay;
    };
    for (const Case& c : {Case{L"info", false}, Case{L"danger", false}, Case{L"nudge", true}}) {
        SCOPED_TRACE(Narrow(c.kind));
        StartRow();
        List({NoticeSection(1, L"id-1", c.kind)});
        TrayParts parts(options);
        parts.AddIcon(*fake);

        parts.balloons.PollNotices();

        std::vector<SeenWrite> expected = {{L"shown", L"id-1", L"1"}};
        if (c.stampsDay) {
            expected.emplace_back(L"prefs", L"last_nudge_day", L"20260305");
        }
        EXPECT_EQ(SeenWrites(), expected);
        EXPECT_EQ(ReadSeen(L"shown", L"id-1"), L"1");
        EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), c.stampsDay ? L"20260305" : L"");
    }
}

TEST_F(BalloonsTest, ANudgeStampsTheDayOfItsDisplay) {
    // Queued late on the 5th behind another balloon, while nudges were not yet muted.
    fake->script.localTime = SYSTEMTIME{2026, 3, 4, 5, 23, 59, 0, 0};
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({NoticeSection(1, L"screen", L"info")});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"screen", L"info"), NoticeSection(2, L"U1", L"nudge")});
    parts.balloons.PollNotices();
    ASSERT_EQ(QueueIds(parts.balloons), (std::vector<std::wstring>{L"U1"}));

    // Muted and past midnight by the time the balloon closes: neither is asked again.
    WriteSeenFile({{L"prefs", {{L"mute_nudges", L"1"}}}});
    fake->script.localTime = SYSTEMTIME{2026, 3, 5, 6, 0, 1, 0, 0};
    parts.balloons.OnBalloonEnded();

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"screen", L"U1"}));
    EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), L"20260306");
}

TEST_F(BalloonsTest, ARefusedBalloonLeavesItsNoticeUnmarkedForTheNextPass) {
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({NoticeSection(1, L"before", L"info")});
    parts.balloons.PollNotices();
    parts.balloons.OnBalloonEnded();
    List({NoticeSection(1, L"x", L"info"), NoticeSection(2, L"y", L"info")});
    fake->calls.clear();
    fake->script.notifyAnswers[NIM_MODIFY] = {FALSE};

    parts.balloons.PollNotices();

    // One call offers one notice: y waits, and x is gone from the queue unmarked. The program is
    // as if it had not asked: the notice of the last balloon is still the one a late click opens.
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"x"}));
    EXPECT_EQ(QueueIds(parts.balloons), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(parts.balloons.CurrentNotice().id, L"before");
    EXPECT_FALSE(parts.balloons.IsBalloonShowing());
    EXPECT_TRUE(SeenWrites().empty());
    EXPECT_EQ(ReadSeen(L"shown", L"x"), L"");

    // The next pass finds x still listed and queues it again, at the back.
    fake->calls.clear();
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(QueueIds(parts.balloons), (std::vector<std::wstring>{L"x"}));

    parts.balloons.OnBalloonEnded();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"y", L"x"}));
    EXPECT_EQ(ReadSeen(L"shown", L"x"), L"1");
    EXPECT_EQ(ReadSeen(L"shown", L"y"), L"1");
}

TEST_F(BalloonsTest, TheProgramEndsABalloonWhoseEndIsNeverReported) {
    // A shell that never reports (notifications off, quiet hours) would hold back every later
    // notice, "danger" included, for the rest of the run.
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({NoticeSection(1, L"first", L"info")});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"first", L"info"), NoticeSection(2, L"late", L"danger")});
    parts.balloons.PollNotices();
    ASSERT_TRUE(parts.balloons.IsBalloonShowing());

    for (int tick = 1; tick <= 30; ++tick) {
        parts.balloons.CountBalloonTick();
    }
    EXPECT_TRUE(parts.balloons.IsBalloonShowing());
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"first"});

    // The 31st tick that finds it showing: ended as if it had timed out, and the next follows.
    parts.balloons.CountBalloonTick();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"first", L"late"}));
    EXPECT_TRUE(parts.balloons.IsBalloonShowing());
    EXPECT_EQ(parts.balloons.CurrentNotice().id, L"late");
    EXPECT_EQ(ReadSeen(L"shown", L"late"), L"1");
}

TEST_F(BalloonsTest, AnyReportedEndStartsTheCountAgain) {
    enum class End { Hide, Click, TaskbarCreated };
    struct Case {
        const char* name;
        End end;
    };
    const Case cases[] = {
        {"ended", End::Hide}, {"clicked", End::Click}, {"taskbar re-created", End::TaskbarCreated}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        TrayParts parts(options);
        parts.AddIcon(*fake);
        List({NoticeSection(1, L"a", L"info"), NoticeSection(2, L"b", L"info")});
        parts.balloons.PollNotices();
        for (int tick = 1; tick <= 20; ++tick) {
            parts.balloons.CountBalloonTick();
        }
        switch (c.end) {
            case End::Hide:
                parts.balloons.OnBalloonEnded();
                break;
            case End::Click:
                parts.balloons.OnBalloonClicked();
                break;
            case End::TaskbarCreated:
                // b goes up at the next pass, once the new taskbar holds the icon.
                parts.balloons.OnTaskbarCreated();
                parts.icon.OnTaskbarCreated();
                parts.balloons.PollNotices();
                break;
        }
        ASSERT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"a", L"b"}));
        ASSERT_EQ(parts.balloons.CurrentNotice().id, L"b");

        // b has its own 30 ticks, counted from its own display, not from a's.
        for (int tick = 1; tick <= 30; ++tick) {
            parts.balloons.CountBalloonTick();
        }
        EXPECT_TRUE(parts.balloons.IsBalloonShowing());
        parts.balloons.CountBalloonTick();
        EXPECT_FALSE(parts.balloons.IsBalloonShowing());
    }
}

TEST_F(BalloonsTest, ASeenFileThatStoresNothingStillShowsEachNoticeOnce) {
    // A folder stands where the seen file should be: no mark is ever stored.
    std::filesystem::create_directories(options.seenPath);
    List({NoticeSection(1, L"one", L"info"), NoticeSection(2, L"two", L"danger")});
    TrayParts parts(options);
    parts.AddIcon(*fake);

    parts.balloons.PollNotices();
    for (int round = 0; round < 10; ++round) {
        parts.balloons.OnBalloonEnded();
        parts.balloons.CountBalloonTick();
        parts.balloons.PollNotices();
    }

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"two", L"one"}));
    EXPECT_EQ(ReadSeen(L"shown", L"one"), L"");
    EXPECT_TRUE(std::filesystem::is_directory(options.seenPath));
}

TEST_F(BalloonsTest, AClickOpensTheTargetOfTheBalloonOnScreenBeforeTheNextIsShown) {
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({NoticeSection(1, L"cur", L"info", {.target = L"app:news", .title = L"Current"})});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"cur", L"info", {.target = L"app:news", .title = L"Current"}),
          NoticeSection(2, L"next", L"danger")});
    parts.balloons.PollNotices();
    fake->calls.clear();

    parts.balloons.OnBalloonClicked();

    const auto launches = fake->CallsNamed("CreateProcessW");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].Text("commandLine"),
              L"\"C:\\Python\\pythonw.exe\" -I \"C:\\App\\launch.py\" --screen news");
    // The running application, to which the launcher hands the screen, may come forward.
    EXPECT_EQ(fake->CallsNamed("AllowSetForegroundWindow").at(0).Number("processId"), 77u);
    ExpectInOrder({"AllowSetForegroundWindow", "CreateProcessW", "NIM_MODIFY balloon"});
    EXPECT_EQ(parts.balloons.CurrentNotice().id, L"next");
    EXPECT_TRUE(parts.balloons.IsBalloonShowing());
    EXPECT_EQ(ReadSeen(L"shown", L"next"), L"1");
}

TEST_F(BalloonsTest, AClickOpensTheTargetItWasGivenWhateverHappensMeanwhile) {
    // The shell's hand-off may dispatch messages; a handler run meanwhile shows the next notice
    // and so replaces the notice whose target is being opened.
    const std::wstring target = std::wstring(kCompanionWebOrigin) + L"/news/1";
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({NoticeSection(1, L"a", L"info", {.target = target})});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"a", L"info", {.target = target}),
          NoticeSection(
              2, L"b", L"info",
              {.target = std::wstring(kCompanionWebOrigin) + L"/" + std::wstring(300, L'z')})});
    parts.balloons.PollNotices();
    fake->script.whileShellExecuting = [&parts] { parts.balloons.OnBalloonEnded(); };

    parts.balloons.OnBalloonClicked();

    ASSERT_EQ(parts.balloons.CurrentNotice().id, L"b");
    const auto opened = fake->CallsNamed("ShellExecuteW");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].Text("file"), target);
}

TEST_F(BalloonsTest, APassWhileTheShellAnswersDoesNotQueueTheNoticeAgain) {
    TrayParts parts(options);
    List({NoticeSection(1, L"X", L"info")});
    parts.balloons.PollNotices();  // no icon yet: X waits
    parts.AddIcon(*fake);
    fake->script.whileNotifying = [&parts](DWORD) { parts.balloons.PollNotices(); };

    parts.balloons.ShowNextNotice();

    EXPECT_TRUE(parts.balloons.Queue().empty());
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"X"});
}

TEST_F(BalloonsTest, ABalloonWaitsWhileTheUserCannotSeeIt) {
    // Requested now, it would go unseen (Windows drops it, or files it away) and count as shown
    // for good. The queue keeps its notices in order, nothing is marked, and the next pass asks
    // again.
    struct Case {
        const char* name;
        QUERY_USER_NOTIFICATION_STATE state;
        HRESULT result;
        bool shown;
    };
    const Case cases[] = {
        {"screen locked, or the user away", QUNS_NOT_PRESENT, S_OK, false},
        {"a full-screen program", QUNS_BUSY, S_OK, false},
        {"a full-screen Direct3D program", QUNS_RUNNING_D3D_FULL_SCREEN, S_OK, false},
        {"presentation mode", QUNS_PRESENTATION_MODE, S_OK, false},
        {"quiet time", QUNS_QUIET_TIME, S_OK, false},
        {"free", QUNS_ACCEPTS_NOTIFICATIONS, S_OK, true},
        {"a full-screen app", QUNS_APP, S_OK, true},
        {"the question fails", QUNS_BUSY, E_FAIL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        TrayParts parts(options);
        parts.AddIcon(*fake);
        fake->script.notificationState = c.state;
        fake->script.notificationStateResult = c.result;
        List({NoticeSection(1, L"a", L"info"), NoticeSection(2, L"b", L"danger")});

        parts.balloons.PollNotices();

        EXPECT_EQ(fake->CallsNamed("SHQueryUserNotificationState").size(), 1u);
        if (c.shown) {
            EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"b"});
            continue;
        }
        EXPECT_TRUE(BalloonTitles().empty());
        EXPECT_EQ(QueueIds(parts.balloons), (std::vector<std::wstring>{L"b", L"a"}));
        EXPECT_TRUE(SeenWrites().empty());

        // Free again at the next tick: the front goes first, and nothing waits twice.
        fake->script.notificationState = QUNS_ACCEPTS_NOTIFICATIONS;
        fake->script.notificationStateResult = S_OK;
        parts.balloons.PollNotices();
        EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"b"});
        EXPECT_EQ(QueueIds(parts.balloons), std::vector<std::wstring>{L"a"});
    }
}

TEST_F(BalloonsTest, TheUserIsAskedOnlyWhenABalloonIsDue) {
    // Nothing listed, and a balloon on screen: a pass asks nothing.
    TrayParts parts(options);
    parts.AddIcon(*fake);
    List({});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"a", L"info"), NoticeSection(2, L"b", L"info")});
    parts.balloons.PollNotices();
    ASSERT_EQ(BalloonTitles(), std::vector<std::wstring>{L"a"});
    fake->calls.clear();
    parts.balloons.PollNotices();
    EXPECT_TRUE(fake->CallsNamed("SHQueryUserNotificationState").empty());
}

TEST_F(BalloonsTest, ANudgeWaitingForTheUserStaysTheDaysNudge) {
    TrayParts parts(options);
    parts.AddIcon(*fake);
    fake->script.notificationState = QUNS_PRESENTATION_MODE;
    List({NoticeSection(1, L"n1", L"nudge")});
    parts.balloons.PollNotices();
    List({NoticeSection(1, L"n1", L"nudge"), NoticeSection(2, L"n2", L"nudge")});
    parts.balloons.PollNotices();
    EXPECT_EQ(QueueIds(parts.balloons), std::vector<std::wstring>{L"n1"});

    fake->script.notificationState = QUNS_ACCEPTS_NOTIFICATIONS;
    parts.balloons.PollNotices();
    parts.balloons.OnBalloonEnded();
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"n1"});
    EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), L"20260305");
}

TEST_F(BalloonsTest, OnlyAScreenOfTheApplicationLetsItComeForward) {
    // An address goes to the browser through the shell, which decides; a refused target starts
    // nothing. Neither lets the companion application come forward.
    const std::wstring address = std::wstring(kCompanionWebOrigin) + L"/help";
    for (const std::wstring& target : {address, std::wstring(L"app:Bad1"), std::wstring()}) {
        SCOPED_TRACE(Narrow(target));
        StartRow();
        TrayParts parts(options);
        parts.AddIcon(*fake);
        List({NoticeSection(1, L"x", L"info", {.target = target})});
        parts.balloons.PollNotices();
        parts.balloons.OnBalloonClicked();
        EXPECT_TRUE(fake->CallsNamed("AllowSetForegroundWindow").empty());
        EXPECT_TRUE(fake->CallsNamed("CreateProcessW").empty());
    }
}

}  // namespace
