#pragma once

#include <string>
#include <string_view>

// Appends one line, ended with a line feed, to a record file that several processes write at
// once: every start of the companion simulator and the running one record into the same file, and
// so do the copies of the bench's record-args that stand in for what the tray starts. Whole lines
// only, and none lost: the file is opened by one writer at a time (a second writer
// waits for its turn) and each line goes to the end of the file as it stands then.
//
// Under Wine 8, writes through handles that two processes opened for appending at once are not
// atomic: each process writes where it last saw the end of the file, so one line lands on top of
// the other's (measured with tests/tools/record_probe.cpp: from a few to a few hundred of 6,000
// lines lost, and some torn). Windows' own append is atomic; one writer at a time holds on both.
//
// False when the file could not be opened or written within 20 seconds.
bool AppendRecordLine(const std::wstring& path, std::string_view line);
