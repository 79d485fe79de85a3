// A fixture for the logic tests: a fresh fake platform, options that point at a fresh real folder
// for the state and seen files, and the program's parts made fresh for each test (or each row of
// a table): nothing is left over from one to the next.
#pragma once

#include "platform_fake.h"
#include "profile_text.h"
#include "readable_text.h"

#include "actions/launcher.h"
#include "actions/notice_target.h"
#include "companion/app_status.h"
#include "companion/state_file.h"
#include "core/startup_options.h"
#include "memory/seen_file.h"
#include "notices/balloons.h"
#include "tray/context_menu.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The program's parts below its window, made from the options as the program makes them.
struct TrayParts {
    explicit TrayParts(const StartupOptions& options)
        : stateFile(options.statePath),
          seenFile(options.seenPath),
          icon(stateFile),
          launcher(options.pythonwPath, options.launcherPath,
                   [this] { return RunningCompanionProcessId(stateFile); }),
          opener(launcher),
          balloons(stateFile, seenFile, icon, opener),
          menu(stateFile, seenFile, launcher, icon) {}

    // The icon as start-up leaves it: its record set up for the fake's window, and added to the
    // notification area. The calls this makes are forgotten by the fake.
    void AddIcon(fake::Platform& fake);

    StateFile stateFile;
    SeenFile seenFile;
    TrayIcon icon;
    AppLauncher launcher;
    TargetOpener opener;
    Balloons balloons;
    ContextMenu menu;
};

class LogicTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh fake platform and an empty folder for this test: the start of a row of a table.
    // Parts are made afresh by the row itself.
    void StartRow();

    // Writes the state file as the companion application does (profile_text).
    void WriteStateFile(const profile_text::Profile& profile) const;
    // A state file of a live companion application (pid 77, fresh heartbeat) with further keys
    // in its [state] section, then further sections.
    void WriteRunningState(const std::vector<profile_text::Key>& stateKeys,
                           const profile_text::Profile& moreSections = {});
    // Writes the seen file as the program does (its folder made first).
    void WriteSeenFile(const profile_text::Profile& profile) const;

    std::wstring ReadSeen(const std::wstring& section, const std::wstring& key) const;

    // The titles of the balloons offered to the shell (NIM_MODIFY with NIF_INFO), in order.
    std::vector<std::wstring> BalloonTitles() const;

    // The calls that change something outside the program, in order, by CallLabel: the
    // notification-area requests, the menu, starts, shell hand-offs, seen-file writes, quitting.
    // Reads and default handling are left out.
    std::vector<std::string> Effects() const;

    // Checks that the calls named (by CallLabel) were made in this order, whatever else came
    // between them; on failure, says which was missing and lists every call made.
    void ExpectInOrder(const std::vector<std::string>& labels) const;

    std::wstring folder;
    // The options as the program would parse them, pointing into this test's folder.
    StartupOptions options;
    // The platform the logic runs on, whose calls the test looks at. Made at the start of the test
    // and of each row (StartRow); a test that wants to start again from nothing makes a new one
    // with fake.emplace().
    std::optional<fake::Platform> fake;
};

// A notice made by its fields' names, as a pass would read it from a section.
Notice MakeNotice(std::wstring id, NoticeKind kind, std::wstring title = L"A title",
                  std::wstring body = L"A body", std::wstring target = L"app:home");

// The texts of a notice section beyond its id and its kind.
struct NoticeTexts {
    // Empty unless given, as the companion writes a notice without a target.
    std::wstring target{};
    // The id unless given, so that the queue and the balloons name their notices by it.
    std::optional<std::wstring> title{};
    // "About <title>" unless given.
    std::optional<std::wstring> body{};
};

// A [notice<index>] section with all five keys in the companion's order. The kind is the word
// written, so that a test can give one the program does not know.
profile_text::Section NoticeSection(int index, const std::wstring& id, const std::wstring& kind,
                                    const NoticeTexts& texts = {});

// Raw bytes, for files the companion would never write (no byte-order mark, ANSI, empty); the
// file is replaced in one step.
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);

// The ids in a queue, front first.
std::vector<std::wstring> QueueIds(const Balloons& balloons);

// A recorded call by a short name: its function's name, except for the notification area,
// where it is the request ("NIM_ADD", "NIM_MODIFY", "NIM_MODIFY balloon", "NIM_SETVERSION",
// "NIM_DELETE").
std::string CallLabel(const fake::Call& call);
