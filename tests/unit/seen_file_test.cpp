#include "memory/seen_file.h"

#include "test_support.h"

#include <filesystem>

namespace {

class SeenFileTest : public LogicTest {};

TEST_F(SeenFileTest, FirstWriteCreatesFolderChainAndUtf16File) {
    options.seenPath = folder + L"\\a\\b\\c\\seen.ini";
    SeenFile(options.seenPath).SetNudgesMuted(true);

    const std::vector<unsigned char> bytes = ReadFileBytes(options.seenPath);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xFE);
    // Every character after the mark is UTF-16LE: ASCII text has a zero high byte.
    std::wstring text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    EXPECT_NE(text.find(L"[prefs]"), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(L"mute_nudges=1"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(ReadSeen(L"prefs", L"mute_nudges"), L"1");

    const auto folders = fake->CallsNamed("SHCreateDirectoryExW");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].Text("path"), folder + L"\\a\\b\\c");
    const auto creates = fake->CallsNamed("CreateFileW");
    ASSERT_EQ(creates.size(), 1u);
    // Made new, never opened or truncated: a file another process made meanwhile stays whole.
    EXPECT_EQ(creates[0].Number("disposition"), static_cast<std::uint64_t>(CREATE_NEW));
    EXPECT_EQ(creates[0].Number("access"), static_cast<std::uint64_t>(GENERIC_WRITE));
    EXPECT_EQ(fake->CallsNamed("WriteFile").at(0).Number("size"), 2u);
    // The folders first, then the file with its mark, closed before the profile writer opens it.
    ExpectInOrder({"SHCreateDirectoryExW", "CreateFileW", "WriteFile", "CloseHandle",
                   "WritePrivateProfileStringW"});
}

TEST_F(SeenFileTest, ExistingFileKeepsItsEncoding) {
    struct Case {
        const char* name;
        std::vector<unsigned char> start;
    };
    const std::vector<unsigned char> withMark =
        profile_text::EncodeProfile({{L"shown", {{L"old", L"1"}}}});
    const std::vector<unsigned char> ansi = {'[',  's', 'h', 'o', 'w', 'n', ']',  '\r',
                                             '\n', 'o', 'l', 'd', '=', '1', '\r', '\n'};
    for (const Case& c : {Case{"utf-16 with mark", withMark}, Case{"ansi", ansi}}) {
        SCOPED_TRACE(c.name);
        StartRow();
        std::filesystem::create_directories(folder + L"\\memory");
        WriteFileBytes(options.seenPath, c.start);

        SeenFile(options.seenPath).MarkShown(L"new");

        const std::vector<unsigned char> bytes = ReadFileBytes(options.seenPath);
        ASSERT_GT(bytes.size(), c.start.size());
        // The old content is still the file's beginning: nothing was recreated or re-encoded.
        EXPECT_TRUE(std::equal(c.start.begin(), c.start.begin() + 7, bytes.begin()));
        EXPECT_EQ(ReadSeen(L"shown", L"old"), L"1");
        EXPECT_EQ(ReadSeen(L"shown", L"new"), L"1");
        EXPECT_TRUE(fake->CallsNamed("CreateFileW").empty());
    }
}

TEST_F(SeenFileTest, AnEmptyFileGetsTheMarkBeforeItsFirstLine) {
    // Without the mark the profile writer would store this id in the ANSI code page, as
    // "\u00FC-??", and the mark would never read back.
    const std::wstring id = L"\u00FC-\u65E5\u672C";
    std::filesystem::create_directories(folder + L"\\memory");
    WriteFileBytes(options.seenPath, {});
    const SeenFile seenFile(options.seenPath);

    seenFile.MarkShown(id);

    const std::vector<unsigned char> bytes = ReadFileBytes(options.seenPath);
    const std::vector<unsigned char> expected =
        profile_text::EncodeProfile({{L"shown", {{id, L"1"}}}});
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(ReadSeen(L"shown", id), L"1");
    // Opened alone, so that nothing another writer put there meanwhile can be covered.
    const auto opens = fake->CallsNamed("CreateFileW");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].Number("disposition"), static_cast<std::uint64_t>(OPEN_EXISTING));
    EXPECT_EQ(opens[0].Number("shareMode"), 0u);

    // Once it has content, the file is left as it is.
    fake.emplace();
    seenFile.MarkShown(L"next");
    EXPECT_TRUE(fake->CallsNamed("CreateFileW").empty());
    EXPECT_EQ(ReadSeen(L"shown", id), L"1");
}

TEST_F(SeenFileTest, AnEmptyFileFilledMeanwhileKeepsWhatWasWritten) {
    // Another program writes the file between the look at its size and the program's open: the
    // size read under the open handle tells, and nothing is written over the new first line.
    std::filesystem::create_directories(folder + L"\\memory");
    WriteFileBytes(options.seenPath, {});
    const std::vector<unsigned char> ansi = {'[',  's', 'h', 'o', 'w', 'n', ']',  '\r',
                                             '\n', 'o', 'l', 'd', '=', '1', '\r', '\n'};
    fake->script.beforeOpeningFile = [&](const std::wstring&) {
        WriteFileBytes(options.seenPath, ansi);
    };
    SeenFile(options.seenPath).MarkShown(L"new");
    const std::vector<unsigned char> bytes = ReadFileBytes(options.seenPath);
    ASSERT_GE(bytes.size(), ansi.size());
    EXPECT_TRUE(std::equal(ansi.begin(), ansi.end(), bytes.begin()));
    EXPECT_EQ(ReadSeen(L"shown", L"old"), L"1");
    EXPECT_EQ(ReadSeen(L"shown", L"new"), L"1");
}

TEST_F(SeenFileTest, FolderAtSeenPathStoresNothing) {
    std::filesystem::create_directories(options.seenPath);
    SeenFile(options.seenPath).SetNudgesMuted(true);
    EXPECT_EQ(fake->CallsNamed("WritePrivateProfileStringW").size(), 1u);
    // Nothing reached the disk: a later run reads no preference there.
    EXPECT_FALSE(SeenFile(options.seenPath).IsNudgeMuted());
    EXPECT_TRUE(std::filesystem::is_directory(options.seenPath));
}

TEST_F(SeenFileTest, PathsWithoutBackslash) {
    // Forward slashes separate folders too.
    SeenFile slashes(folder + L"\\x/y/seen.ini");
    slashes.SetNudgesMuted(true);
    EXPECT_EQ(fake->CallsNamed("SHCreateDirectoryExW").at(0).Text("path"), folder + L"\\x\\y");
    EXPECT_TRUE(slashes.IsNudgeMuted());

    // A bare file name needs no folder: the file is made where the path says.
    StartRow();
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    SeenFile(L"bare-seen.ini").SetNudgesMuted(true);
    EXPECT_TRUE(fake->CallsNamed("SHCreateDirectoryExW").empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + L"\\bare-seen.ini"));

    // Folders relative to the current one are made too, as full paths: the folder creation
    // refuses a relative one (so did the program, which then stored nothing at all).
    ::SetCurrentDirectoryW(L"C:\\");
    StartRow();
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    SeenFile(L"a\\b/seen.ini").SetNudgesMuted(true);
    EXPECT_EQ(fake->CallsNamed("SHCreateDirectoryExW").at(0).Text("path"), folder + L"\\a\\b");
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + L"\\a\\b\\seen.ini"));
    EXPECT_TRUE(SeenFile(L"a\\b/seen.ini").IsNudgeMuted());
    ::SetCurrentDirectoryW(L"C:\\");
}

TEST_F(SeenFileTest, MuteToggleReadsOnlyExactOne) {
    SeenFile seenFile(options.seenPath);
    EXPECT_FALSE(seenFile.IsNudgeMuted());  // no file at all
    struct Case {
        const wchar_t* value;
        bool muted;
    };
    for (const Case& c : {Case{L"1", true}, Case{L"0", false}, Case{L"yes", false},
                          Case{L"11", false}, Case{L"", false}, Case{L" 1x", false}}) {
        SCOPED_TRACE(Narrow(c.value));
        WriteSeenFile({{L"prefs", {{L"mute_nudges", c.value}}}});
        EXPECT_EQ(seenFile.IsNudgeMuted(), c.muted);
    }
}

TEST_F(SeenFileTest, APreferenceTheFileCannotStoreIsKeptForTheRun) {
    // Found by the simulation: muting, or the day of a nudge, was lost whenever the seen file
    // could not store it, and the next nudge came all the same.
    enum class Obstacle { Folder, ReadOnly, HeldByAnotherProgram };
    struct Case {
        const char* name;
        Obstacle obstacle;
    };
    const Case cases[] = {{"a folder at the path", Obstacle::Folder},
                          {"a read-only file", Obstacle::ReadOnly},
                          {"a file another program holds", Obstacle::HeldByAnotherProgram}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartRow();
        HANDLE held = INVALID_HANDLE_VALUE;
        switch (c.obstacle) {
            case Obstacle::Folder:
                std::filesystem::create_directories(options.seenPath);
                break;
            case Obstacle::ReadOnly:
                WriteSeenFile({{L"prefs", {{L"mute_nudges", L"0"}}}});
                ASSERT_TRUE(
                    ::SetFileAttributesW(options.seenPath.c_str(), FILE_ATTRIBUTE_READONLY));
                break;
            case Obstacle::HeldByAnotherProgram:
                WriteSeenFile({{L"prefs", {{L"mute_nudges", L"0"}}}});
                held = ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                ASSERT_NE(held, INVALID_HANDLE_VALUE);
                break;
        }
        SeenFile seenFile(options.seenPath);

        seenFile.SetNudgesMuted(true);
        seenFile.SetLastNudgeDay(L"20260305");

        EXPECT_TRUE(seenFile.IsNudgeMuted());
        EXPECT_EQ(seenFile.LastNudgeDay(), L"20260305");

        // Once the file can store again, the next write reaches it and reads go to it.
        switch (c.obstacle) {
            case Obstacle::Folder:
                std::filesystem::remove(options.seenPath);
                break;
            case Obstacle::ReadOnly:
                ::SetFileAttributesW(options.seenPath.c_str(), FILE_ATTRIBUTE_NORMAL);
                break;
            case Obstacle::HeldByAnotherProgram:
                ::CloseHandle(held);
                break;
        }
        seenFile.SetNudgesMuted(false);
        EXPECT_EQ(ReadSeen(L"prefs", L"mute_nudges"), L"0");
        WriteSeenFile({{L"prefs", {{L"mute_nudges", L"1"}}}});
        EXPECT_TRUE(seenFile.IsNudgeMuted());
    }
}

TEST_F(SeenFileTest, APreferenceAskedForWhileAnotherProgramHoldsTheFileIsTheLastKnown) {
    // Read through such a lock, the file looks empty: not muted, no nudge today.
    WriteSeenFile({{L"prefs", {{L"mute_nudges", L"1"}, {L"last_nudge_day", L"20260305"}}}});
    SeenFile seenFile(options.seenPath);
    ASSERT_TRUE(seenFile.IsNudgeMuted());
    ASSERT_EQ(seenFile.LastNudgeDay(), L"20260305");
    HANDLE held = ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    EXPECT_TRUE(seenFile.IsNudgeMuted());
    EXPECT_EQ(seenFile.LastNudgeDay(), L"20260305");
    // A fresh run knows nothing yet: the file's silence stands.
    EXPECT_FALSE(SeenFile(options.seenPath).IsNudgeMuted());
    ::CloseHandle(held);
}

}  // namespace

namespace {

TEST_F(SeenFileTest, AFileHeldAgainAfterAReadablePassWaitsThirtyPassesAgain) {
    WriteSeenFile({{L"shown", {{L"old", L"1"}}}});
    SeenFile seenFile(options.seenPath);
    const auto hold = [this] {
        return ::CreateFileW(options.seenPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("held for the " + std::string(round == 1 ? "first" : "second") + " time");
        HANDLE lock = hold();
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        int paused = 0;
        while (paused < 40 && seenFile.ShouldPauseNoticePass()) {
            ++paused;
        }
        EXPECT_EQ(paused, 30);
        ::CloseHandle(lock);
        // One pass finds it readable: the count starts from nothing again.
        EXPECT_FALSE(seenFile.ShouldPauseNoticePass());
    }
}

TEST_F(SeenFileTest, APreferenceRemovedByAnotherProgramReadsAsUnset) {
    // The file is the memory while it can be read: what this run knew before does not stand in
    // for a key that is gone.
    WriteSeenFile({{L"prefs", {{L"mute_nudges", L"1"}, {L"last_nudge_day", L"20260305"}}}});
    SeenFile seenFile(options.seenPath);
    ASSERT_TRUE(seenFile.IsNudgeMuted());
    ASSERT_EQ(seenFile.LastNudgeDay(), L"20260305");
    WriteSeenFile({{L"shown", {{L"old", L"1"}}}});
    EXPECT_FALSE(seenFile.IsNudgeMuted());
    EXPECT_EQ(seenFile.LastNudgeDay(), L"");
}

}  // namespace
