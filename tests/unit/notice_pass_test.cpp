#include "notices/balloons.h"

#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

class PollNoticesTest : public LogicTest {
  protected:
    // A pass that puts the notice "screen" on screen: a balloon that later passes wait behind.
    void ShowAnotherBalloon(TrayParts& parts) {
        WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"screen", L"info")});
        parts.AddIcon(*fake);
        parts.balloons.PollNotices();
        ASSERT_TRUE(parts.balloons.IsBalloonShowing());
    }

    // The keys looked up in [shown] of the seen file, in order.
    std::vector<std::wstring> ShownReads() const {
        std::vector<std::wstring> keys;
        for (const fake::Call& call : fake->CallsNamed("GetPrivateProfileStringW")) {
            if (call.Text("section") == L"shown") {
                keys.push_back(call.Text("key"));
            }
        }
        return keys;
    }

    int MuteReads() const {
        const std::vector<fake::Call> reads = fake->CallsNamed("GetPrivateProfileStringW");
        return static_cast<int>(
            std::count_if(reads.begin(), reads.end(), [](const fake::Call& call) {
                return call.Text("section") == L"prefs" && call.Text("key") == L"mute_nudges";
            }));
    }

    // The notice sections read, in the order of their first read.
    std::vector<std::wstring> NoticeSectionsRead() const {
        std::vector<std::wstring> sections;
        for (const fake::Call& call : fake->CallsNamed("GetPrivateProfileStringW")) {
            const std::wstring& section = call.Text("section");
            if (section.starts_with(L"notice") &&
                std::find(sections.begin(), sections.end(), section) == sections.end()) {
                sections.push_back(section);
            }
        }
        return sections;
    }
};

std::vector<std::wstring> QueueTitles(const Balloons& balloons) {
    std::vector<std::wstring> titles;
    for (const Notice& notice : balloons.Queue()) {
        titles.push_back(notice.title);
    }
    return titles;
}

// Closes each balloon as the shell would report it, so the whole queue is shown.
void CloseBalloonsUntilQueueEmpty(Balloons& balloons) {
    for (std::size_t left = balloons.Queue().size(); left > 0 && !balloons.Queue().empty();
         --left) {
        balloons.OnBalloonEnded();
    }
}

// One pass over a running companion application's notices, after earlier passes that left a
// queue and possibly a balloon on screen.
struct PassCase {
    const char* name = "";
    profile_text::Profile sections{};
    int count = 0;  // 0: one per section
    profile_text::Profile seen{};
    // The sections listed at each earlier pass, on the day before; their notices wait in the
    // queue, since the shell does not hold the icon yet.
    std::vector<profile_text::Profile> earlier{};
    // Then the icon is added and the front of that queue goes on screen.
    bool showing = false;
    std::vector<std::wstring> queueTitles{};  // after the pass, front to back
    std::optional<std::vector<std::wstring>> shownReads{};
    std::optional<int> muteReads{};
};

class PollNoticesPassTest : public PollNoticesTest {
  protected:
    void WriteSections(const profile_text::Profile& sections, int count = 0) {
        WriteRunningState(
            {{L"notices", std::to_wstring(count != 0 ? count : static_cast<int>(sections.size()))}},
            sections);
    }

    void Run(const PassCase& c) {
        SCOPED_TRACE(c.name);
        StartRow();
        WriteSeenFile(c.seen);
        TrayParts parts(options);
        fake->script.localTime = SYSTEMTIME{2026, 3, 3, 4, 9, 0, 0, 0};
        for (const profile_text::Profile& sections : c.earlier) {
            WriteSections(sections);
            parts.balloons.PollNotices();
        }
        if (c.showing) {
            parts.AddIcon(*fake);
            parts.balloons.ShowNextNotice();
            ASSERT_TRUE(parts.balloons.IsBalloonShowing());
        }
        // Without the icon, or behind the balloon on screen, the pass's closing ShowNextNotice
        // takes nothing: the queue stays to be seen. A fresh fake, on its own day (the 5th),
        // records this pass alone.
        fake.emplace();
        WriteSections(c.sections, c.count);

        parts.balloons.PollNotices();

        EXPECT_EQ(QueueTitles(parts.balloons), c.queueTitles);
        if (c.shownReads) {
            EXPECT_EQ(ShownReads(), *c.shownReads);
        }
        if (c.muteReads) {
            EXPECT_EQ(MuteReads(), *c.muteReads);
        }
    }
};

TEST_F(PollNoticesPassTest, SkipsWhatMustNotBeQueued) {
    const PassCase cases[] = {
        {.name = "empty id or title: the seen file is not asked",
         .sections = {NoticeSection(1, L"", L"info", {.title = L"No id"}),
                      NoticeSection(2, L"untitled", L"info", {.title = L""}),
                      NoticeSection(3, L"c", L"info")},
         .queueTitles = {L"c"},
         .shownReads = std::vector<std::wstring>{L"c"}},
        {.name = "only the mark 1 counts as shown",
         .sections = {NoticeSection(1, L"m0", L"info"), NoticeSection(2, L"myes", L"info"),
                      NoticeSection(3, L"m11", L"info"), NoticeSection(4, L"m1", L"info")},
         .seen = {{L"shown", {{L"m0", L"0"}, {L"myes", L"yes"}, {L"m11", L"11"}, {L"m1", L"1"}}}},
         .queueTitles = {L"m0", L"myes", L"m11"},
         .shownReads = std::vector<std::wstring>{L"m0", L"myes", L"m11", L"m1"}},
        {.name = "kinds are matched exactly, after the mark",
         .sections = {NoticeSection(1, L"k1", L"Danger"), NoticeSection(2, L"k2", L"INFO"),
                      NoticeSection(3, L"k3", L"nudges"), NoticeSection(4, L"k4", L""),
                      NoticeSection(5, L"k5", L"info")},
         .queueTitles = {L"k5"},
         .shownReads = std::vector<std::wstring>{L"k1", L"k2", L"k3", L"k4", L"k5"}},
        {.name = "a queued id keeps its place and its texts",
         .sections = {NoticeSection(1, L"x", L"danger", {.title = L"new"})},
         .earlier = {{NoticeSection(1, L"w", L"info"),
                      NoticeSection(2, L"x", L"info", {.title = L"old"})}},
         .queueTitles = {L"w", L"old"}},
        {.name = "the notice on screen is not queued again",
         .sections = {NoticeSection(1, L"x", L"info")},
         .earlier = {{NoticeSection(1, L"x", L"info")}},
         .showing = true,
         .queueTitles = {}},
        {.name = "one id in two sections: the lower index wins",
         .sections = {NoticeSection(1, L"s", L"info", {.title = L"first"}),
                      NoticeSection(2, L"s", L"danger", {.title = L"second"})},
         .queueTitles = {L"first"}},
        {.name = "an id that a key cannot hold is skipped before the seen file",
         .sections = {NoticeSection(1, L"a=b", L"danger"), NoticeSection(2, L"ok", L"info")},
         .queueTitles = {L"ok"},
         .shownReads = std::vector<std::wstring>{L"ok"}},
        {.name = "a missing section is skipped as incomplete",
         .sections = {NoticeSection(2, L"two", L"info")},
         .count = 3,
         .queueTitles = {L"two"},
         .shownReads = std::vector<std::wstring>{L"two"}},
    };
    for (const PassCase& c : cases) {
        Run(c);
    }
}

TEST_F(PollNoticesPassTest, QueuesAtMostOneNudgeAndNoneOnAStampedDay) {
    // The fake's local date is 2026-03-05.
    const PassCase cases[] = {
        {.name = "one nudge per pass",
         .sections = {NoticeSection(1, L"u1", L"nudge"), NoticeSection(2, L"u2", L"nudge"),
                      NoticeSection(3, L"i1", L"info")},
         .queueTitles = {L"u1", L"i1"},
         .muteReads = 2},
        {.name = "today's stamp holds every nudge back, and only nudges",
         .sections = {NoticeSection(1, L"u1", L"nudge"), NoticeSection(2, L"d1", L"danger")},
         .seen = {{L"prefs", {{L"last_nudge_day", L"20260305"}}}},
         .queueTitles = {L"d1"}},
        {.name = "yesterday's stamp holds nothing back",
         .sections = {NoticeSection(1, L"u1", L"nudge")},
         .seen = {{L"prefs", {{L"last_nudge_day", L"20260304"}}}},
         .queueTitles = {L"u1"}},
        {.name = "a later stamp holds nothing back",
         .sections = {NoticeSection(1, L"u1", L"nudge")},
         .seen = {{L"prefs", {{L"last_nudge_day", L"20260306"}}}},
         .queueTitles = {L"u1"}},
        {.name = "muted: no nudge, the other kinds as ever",
         .sections = {NoticeSection(1, L"u1", L"nudge"), NoticeSection(2, L"i1", L"info"),
                      NoticeSection(3, L"u2", L"nudge"), NoticeSection(4, L"d1", L"danger")},
         .seen = {{L"prefs", {{L"mute_nudges", L"1"}}}},
         .queueTitles = {L"d1", L"i1"},
         .muteReads = 2},
        {.name = "shown, incomplete or on-screen nudges leave the pass's nudge free",
         .sections = {NoticeSection(1, L"u-shown", L"nudge"),
                      NoticeSection(2, L"u-untitled", L"nudge", {.title = L""}),
                      NoticeSection(3, L"u-screen", L"nudge"),
                      NoticeSection(4, L"u-free", L"nudge"), NoticeSection(5, L"u-late", L"nudge")},
         .seen = {{L"shown", {{L"u-shown", L"1"}}}},
         // u-screen went on screen the day before and is still there.
         .earlier = {{NoticeSection(1, L"u-screen", L"nudge")}},
         .showing = true,
         .queueTitles = {L"u-free"},
         .muteReads = 2},
        // Found by the simulation: a second nudge queued behind the first was shown the same
        // day, once the first had stamped it.
        {.name = "a nudge waiting in the queue is the day's nudge",
         .sections = {NoticeSection(1, L"u-queued", L"nudge"),
                      NoticeSection(2, L"u-free", L"nudge"), NoticeSection(3, L"i1", L"info")},
         .earlier = {{NoticeSection(1, L"u-queued", L"nudge")}},
         .queueTitles = {L"u-queued", L"i1"},
         .muteReads = 1},
    };
    for (const PassCase& c : cases) {
        Run(c);
    }
}

TEST_F(PollNoticesTest, DangerGoesToTheFrontInReverseIndexOrder) {
    WriteRunningState({{L"notices", L"3"}},
                      {NoticeSection(1, L"A", L"danger"), NoticeSection(2, L"B", L"info"),
                       NoticeSection(3, L"C", L"danger")});
    TrayParts parts(options);
    parts.AddIcon(*fake);

    parts.balloons.PollNotices();
    CloseBalloonsUntilQueueEmpty(parts.balloons);

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"C", L"A", L"B"}));
}

TEST_F(PollNoticesTest, LaterPassesQueueAroundTheWaitingNotices) {
    TrayParts parts(options);
    // Another notice's balloon is on screen, so both passes only queue.
    ShowAnotherBalloon(parts);
    WriteRunningState({{L"notices", L"2"}},
                      {NoticeSection(1, L"Q1", L"danger"), NoticeSection(2, L"Q2", L"info")});
    parts.balloons.PollNotices();
    ASSERT_EQ(QueueTitles(parts.balloons), (std::vector<std::wstring>{L"Q1", L"Q2"}));
    fake->calls.clear();

    WriteRunningState({{L"notices", L"7"}},
                      {NoticeSection(1, L"D1", L"danger"), NoticeSection(2, L"I1", L"info"),
                       NoticeSection(3, L"D2", L"danger"), NoticeSection(4, L"U1", L"nudge"),
                       NoticeSection(5, L"D3", L"danger"), NoticeSection(6, L"Q1", L"danger"),
                       NoticeSection(7, L"Q2", L"info")});
    parts.balloons.PollNotices();
    CloseBalloonsUntilQueueEmpty(parts.balloons);

    const std::vector<std::wstring> expected = {L"D3", L"D2", L"D1", L"Q1", L"Q2", L"I1", L"U1"};
    EXPECT_EQ(BalloonTitles(), expected);
}

TEST_F(PollNoticesTest, ANudgeWaitingBehindABalloonIsTheDaysNudge) {
    // Found by the simulation: N2 was queued while N1 waited, and both were shown that day.
    TrayParts parts(options);
    ShowAnotherBalloon(parts);
    fake->calls.clear();
    WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"N1", L"nudge")});
    parts.balloons.PollNotices();
    WriteRunningState({{L"notices", L"2"}},
                      {NoticeSection(1, L"N1", L"nudge"), NoticeSection(2, L"N2", L"nudge")});
    parts.balloons.PollNotices();
    CloseBalloonsUntilQueueEmpty(parts.balloons);
    parts.balloons.PollNotices();

    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"N1"}));
    EXPECT_EQ(ReadSeen(L"shown", L"N2"), L"");
    EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), L"20260305");

    // The next day has its own nudge.
    fake->script.localTime = SYSTEMTIME{2026, 3, 5, 6, 9, 0, 0, 0};
    parts.balloons.OnBalloonEnded();
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"N1", L"N2"}));
    EXPECT_EQ(ReadSeen(L"prefs", L"last_nudge_day"), L"20260306");
}

TEST_F(PollNoticesTest, ReadsMinOfCountAndFiftySectionsAndAlwaysShowsNext) {
    profile_text::Profile sections;
    for (int index = 1; index <= 51; ++index) {
        sections.push_back(NoticeSection(index, L"n" + std::to_wstring(index), L"info"));
    }
    struct CountCase {
        std::optional<std::wstring> count;  // nullopt: no "notices" key
        int sectionsRead;
    };
    const CountCase cases[] = {
        {std::nullopt, 0}, {L"0", 0},   {L"-1", 0},  {L"many", 0}, {L"3", 3},
        {L"50", 50},       {L"51", 50}, {L"75", 50}, {L"80", 50},  {L"99999999999", 50},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(Narrow(c.count.value_or(L"(missing)")));
        StartRow();
        TrayParts parts(options);
        // One notice waits in the queue from a pass before, while the shell held no icon.
        WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"waiting", L"info")});
        parts.balloons.PollNotices();
        ASSERT_EQ(QueueIds(parts.balloons), std::vector<std::wstring>{L"waiting"});
        parts.AddIcon(*fake);
        std::vector<profile_text::Key> stateKeys;
        if (c.count) {
            stateKeys.push_back({L"notices", *c.count});
        }
        WriteRunningState(stateKeys, sections);

        parts.balloons.PollNotices();

        std::vector<std::wstring> expected;
        for (int index = 1; index <= c.sectionsRead; ++index) {
            expected.push_back(L"notice" + std::to_wstring(index));
        }
        EXPECT_EQ(NoticeSectionsRead(), expected);
        EXPECT_EQ(parts.balloons.Queue().size(), static_cast<std::size_t>(c.sectionsRead));
        // The pass ends by showing the front notice, whether it read any section or not.
        EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"waiting"}));
    }
}

TEST_F(PollNoticesTest, OnlyARunningCompanionIsPolled) {
    struct StatusCase {
        const char* name;
        std::optional<profile_text::Profile> stateFile;  // nullopt: no state file
        bool polled;
    };
    const std::wstring now = std::to_wstring(fake->script.unixNow);
    const std::wstring stale = std::to_wstring(fake->script.unixNow - 600);
    const profile_text::Section notice = NoticeSection(1, L"D", L"danger");
    const StatusCase cases[] = {
        {"no state file", std::nullopt, false},
        {"stale heartbeat",
         profile_text::Profile{
             {L"state", {{L"written_unix", stale}, {L"pid", L"77"}, {L"notices", L"1"}}}, notice},
         false},
        {"update waiting",
         profile_text::Profile{{L"state",
                                {{L"written_unix", now},
                                 {L"pid", L"77"},
                                 {L"status", L"update_waiting"},
                                 {L"notices", L"1"}}},
                               notice},
         true},
        {"running",
         profile_text::Profile{
             {L"state", {{L"written_unix", now}, {L"pid", L"77"}, {L"notices", L"1"}}}, notice},
         true},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        TrayParts parts(options);
        // One notice waits in the queue from a pass before, while the shell held no icon.
        WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"waiting", L"info")});
        parts.balloons.PollNotices();
        parts.AddIcon(*fake);
        std::filesystem::remove(options.statePath);
        if (c.stateFile) {
            WriteStateFile(*c.stateFile);
        }

        parts.balloons.PollNotices();

        EXPECT_EQ(fake->ReadSection(L"notice1"), c.polled);
        EXPECT_EQ(BalloonTitles(),
                  c.polled ? std::vector<std::wstring>{L"D"} : std::vector<std::wstring>{});
        EXPECT_EQ(QueueTitles(parts.balloons), (std::vector<std::wstring>{L"waiting"}));
        if (!c.polled) {
            EXPECT_TRUE(fake->CallsNamed("Shell_NotifyIconW").empty());
            EXPECT_FALSE(fake->ReadSection(L"prefs"));
        }
    }
}

}  // namespace

namespace {

TEST_F(PollNoticesTest, ASeenFileHeldByAnotherProgramHoldsThePassBack) {
    // Backup and sync tools open files without sharing for a moment. Read through such a lock,
    // the seen file would look empty and "old" would be shown a second time.
    TrayParts parts(options);
    parts.AddIcon(*fake);
    WriteSeenFile({{L"shown", {{L"old", L"1"}}}});
    WriteRunningState({{L"notices", L"2"}},
                      {NoticeSection(1, L"old", L"info"), NoticeSection(2, L"new", L"info")});
    HANDLE lock = ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    parts.balloons.PollNotices();
    EXPECT_TRUE(parts.balloons.Queue().empty());
    EXPECT_TRUE(BalloonTitles().empty());
    EXPECT_FALSE(fake->ReadSection(L"notice1"));

    ::CloseHandle(lock);
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"new"});
}

TEST_F(PollNoticesTest, ASeenFileThatStaysHeldHoldsNoticesBackFor30PassesOnly) {
    // Held for good (a tool that never lets go): after 30 passes the notices are shown, each once
    // in this run, since the marks cannot be read.
    TrayParts parts(options);
    parts.AddIcon(*fake);
    WriteSeenFile({{L"shown", {{L"old", L"1"}}}});
    WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"new", L"info")});
    HANDLE lock = ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    for (int pass = 1; pass <= 30; ++pass) {
        parts.balloons.PollNotices();
    }
    EXPECT_TRUE(BalloonTitles().empty());
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"new"});
    parts.balloons.OnBalloonEnded();
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"new"});
    ::CloseHandle(lock);

    // Readable again: the count starts anew, and a new lock holds the pass back again.
    parts.balloons.PollNotices();
    lock = ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    fake->calls.clear();
    parts.balloons.PollNotices();
    EXPECT_FALSE(fake->ReadSection(L"notice1"));
    ::CloseHandle(lock);
}

TEST_F(PollNoticesTest, ANoticeReadAcrossARewriteWaitsForTheNextPass) {
    // Between two reads of one pass the companion moves another notice into section 1: the id
    // read first would be paired with the other notice's texts.
    TrayParts parts(options);
    parts.AddIcon(*fake);
    WriteRunningState({{L"notices", L"1"}},
                      {NoticeSection(1, L"first", L"info", {.title = L"First's title"})});
    bool rewritten = false;
    fake->script.afterProfileRead = [&](const std::wstring& section, const std::wstring& key) {
        if (!rewritten && section == L"notice1" && key == L"kind") {
            rewritten = true;
            WriteRunningState({{L"notices", L"1"}}, {NoticeSection(1, L"second", L"danger",
                                                                   {.title = L"Second's title"})});
        }
    };

    parts.balloons.PollNotices();
    EXPECT_TRUE(BalloonTitles().empty());
    EXPECT_TRUE(parts.balloons.Queue().empty());
    EXPECT_EQ(ReadSeen(L"shown", L"first"), L"");
    // The id is read once more after the five values, whatever the notice turns out to be.
    const auto reads = fake->CallsNamed("GetPrivateProfileStringW");
    std::vector<std::wstring> keys;
    for (const fake::Call& read : reads) {
        if (read.Text("section") == L"notice1") {
            keys.push_back(read.Text("key"));
        }
    }
    EXPECT_EQ(keys,
              (std::vector<std::wstring>{L"id", L"kind", L"target", L"title", L"body", L"id"}));

    // The next pass reads a steady file: the notice now listed is shown with its own texts.
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), std::vector<std::wstring>{L"Second's title"});
    EXPECT_EQ(parts.balloons.CurrentNotice().id, L"second");
}

}  // namespace

namespace {

TEST_F(PollNoticesTest, ASeenFileThatStoresNothingStillKeepsMuteAndTheDaysNudge) {
    // Found by the simulation, and seen under Wine with a folder at the seen path: the mute
    // chosen in the menu and the day of the nudge were not stored, so the next pass queued
    // another nudge.
    std::filesystem::create_directories(options.seenPath);
    TrayParts parts(options);
    parts.AddIcon(*fake);
    WriteRunningState({{L"notices", L"3"}},
                      {NoticeSection(1, L"I1", L"info"), NoticeSection(2, L"N1", L"nudge"),
                       NoticeSection(3, L"N2", L"nudge")});
    parts.balloons.PollNotices();
    for (int round = 0; round < 5; ++round) {
        parts.balloons.OnBalloonEnded();
        parts.balloons.PollNotices();
    }
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"I1", L"N1"}));

    // Muted in the menu: the next day's nudge is not queued either.
    parts.seenFile.SetNudgesMuted(!parts.seenFile.IsNudgeMuted());
    fake->script.localTime = SYSTEMTIME{2026, 3, 5, 6, 9, 0, 0, 0};
    WriteRunningState({{L"notices", L"2"}},
                      {NoticeSection(1, L"N3", L"nudge"), NoticeSection(2, L"I2", L"info")});
    parts.balloons.OnBalloonEnded();
    parts.balloons.PollNotices();
    EXPECT_EQ(BalloonTitles(), (std::vector<std::wstring>{L"I1", L"N1", L"I2"}));
    EXPECT_TRUE(std::filesystem::is_directory(options.seenPath));
}

}  // namespace
