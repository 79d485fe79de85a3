#include "notices/balloon.h"

#include "app/tray_window.h"
#include "core/startup_options.h"
#include "notices/notice.h"
#include "notices/notice_queue.h"
#include "test_support.h"
#include "tray/tray_record.h"

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

    PollNotices();

    // One call offers one notice: y waits, and x is gone from the queue unmarked.
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"x"}));
    EXPECT_EQ(QueueIds(), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(currentNotice.id, L"x");
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

TEST_F(ShowNextNoticeTest, AClosingEventWhileTheShellAnswersLeavesBothNoticesMarked) {
    // While the shell takes notice X, it reports the end of the previous balloon: the handler
    // shows Y at once. X must still be the notice marked for X's balloon.
    WriteRunningState({});
    NoticeQueue = {MakeNotice(L"X", L"info", L"X"), MakeNotice(L"Y", L"info", L"Y")};
    fake::script.whileNotifying = [](DWORD) {
        TrayWindowProc(fake::kTrayWindowHandle, TrayCallbackMessage, 0,
                       MAKELPARAM(NIN_BALLOONTIMEOUT, kTrayIconId));
    };

    ShowNextNotice();

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"X", L"Y"}));
    EXPECT_EQ(ReadSeen(L"shown", L"X"), L"1");
    EXPECT_EQ(ReadSeen(L"shown", L"Y"), L"1");
    EXPECT_TRUE(balloonShowing);
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
