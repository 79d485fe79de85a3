// A fixture for the logic tests: the fake platform reset, the program-wide records emptied, and a
// fresh real folder for the state and seen files.
#pragma once

#include "platform_fake.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <string_view>
#include <vector>

class LogicTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Forgets every recorded call and the script, empties every program-wide record, points the
    // options at this test's folder, then lets the fixture arrange what its tests start from.
    // SetUp calls it; so does each row of a table of cases.
    void ResetProgramState();
    virtual void Arrange() {}

    // Writes the state file as the companion application does: UTF-16LE with a byte-order mark,
    // CRLF line ends. Lines are given without line ends.
    void WriteStateFile(const std::vector<std::wstring>& lines);
    // A state file of a live companion application (pid 77, fresh heartbeat) with extra lines
    // appended to its [state] section, then further sections.
    void WriteRunningState(const std::vector<std::wstring>& stateLines,
                           const std::vector<std::wstring>& moreLines = {});
    // Writes a seen file with the byte-order mark.
    void WriteSeenFile(const std::vector<std::wstring>& lines);

    std::wstring ReadSeen(const std::wstring& section, const std::wstring& key) const;

    std::wstring folder;
};

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> Utf16LeWithBom(const std::vector<std::wstring>& lines);

// The Shell_NotifyIconW requests recorded, as (request, flags) pairs.
std::vector<std::pair<DWORD, UINT>> NotifyRequests();

// The titles of the balloons offered to the shell (NIM_MODIFY with NIF_INFO), in order.
std::vector<std::wstring> BalloonTitles();

// The calls that change something outside the program, in order: the notification-area requests
// ("NIM_ADD", "NIM_MODIFY", "NIM_MODIFY balloon", "NIM_SETVERSION", "NIM_DELETE"), the menu,
// starts, shell hand-offs, seen-file writes, quitting and default handling. Reads are left out.
std::vector<std::string> Effects();

// A readable form of wide text for assertion messages.
std::string Narrow(std::wstring_view text);
