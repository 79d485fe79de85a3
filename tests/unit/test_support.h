// A fixture for the logic tests: a fresh fake platform, options that point at a fresh real folder
// for the state and seen files, and the program's parts made fresh for each test (or each row of
// a table): nothing is left over from one to the next.
#pragma once

#include "platform_fake.h"
#include "readable_text.h"

#include "actions/launcher.h"
#include "actions/notice_target.h"
#include "companion/state_file.h"
#include "core/startup_options.h"
#include "memory/seen_file.h"
#include "notices/balloons.h"
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
          launcher(options.pythonwPath, options.launcherPath),
          opener(launcher),
          balloons(stateFile, seenFile, icon, opener) {}

    // The icon as start-up leaves it: its record set up for the fake's window, and added to the
    // notification area. The calls this makes are forgotten by the fake.
    void AddIcon(fake::Platform& fake);

    StateFile stateFile;
    SeenFile seenFile;
    TrayIcon icon;
    AppLauncher launcher;
    TargetOpener opener;
    Balloons balloons;
};

class LogicTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh fake platform and an empty folder for this test: the start of a row of a table.
    // Parts are made afresh by the row itself.
    void StartRow();

    // Writes the state file as the companion application does: UTF-16LE with a byte-order mark,
    // CRLF line ends. Lines are given without line ends.
    void WriteStateFile(const std::vector<std::wstring>& lines) const;
    // A state file of a live companion application (pid 77, fresh heartbeat) with extra lines
    // appended to its [state] section, then further sections.
    void WriteRunningState(const std::vector<std::wstring>& stateLines,
                           const std::vector<std::wstring>& moreLines = {});
    // Writes a seen file with the byte-order mark.
    void WriteSeenFile(const std::vector<std::wstring>& lines) const;

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

// The lines of a [notice<index>] section listing a notice of the given kind word.
std::vector<std::wstring> NoticeSection(int index, const std::wstring& id, const std::wstring& kind,
                                        const std::wstring& title = L"",
                                        const std::wstring& target = L"");

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> Utf16LeWithBom(const std::vector<std::wstring>& lines);

// The ids in a queue, front first.
std::vector<std::wstring> QueueIds(const Balloons& balloons);

// A recorded call by a short name: its function's name, except for the notification area,
// where it is the request ("NIM_ADD", "NIM_MODIFY", "NIM_MODIFY balloon", "NIM_SETVERSION",
// "NIM_DELETE").
std::string CallLabel(const fake::Call& call);
