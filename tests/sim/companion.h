// The companion application: the notices it lists, its state file and the heartbeat in it, and
// its process, which ends and starts again under the same id.
#pragma once

#include "listed_notice.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Chooser;
class Clock;
class Files;
class HandleTable;
class RunLog;

// The companion titles each notice "T:" and its id, so a balloon's title tells whose it is.
std::wstring IdOfTitle(std::wstring_view title);

class Companion {
  public:
    Companion(Chooser& chooser, RunLog& log, const Clock& clock, Files& files, HandleTable& handles)
        : chooser_(chooser), log_(log), clock_(clock), files_(files), handles_(handles) {}

    // The notices listed when the program starts.
    void ListAtStart();
    const std::vector<ListedNotice>& Listed() const { return listed_; }
    const KnownNotices& Known() const { return known_; }

    // Writes the state file whole: the heartbeat of now, the status, the labels, the notices.
    void RewriteStateFile();
    // Between two messages: the heartbeat every fifteen seconds while it lives, and now and then
    // a change of its notices, its end or its new start, an update waiting or no longer.
    void Act();
    // The program read a profile value. The companion may rewrite its file between any two
    // reads of it, though not twice while one notice's six values are read: a section that
    // changes and changes back between the two reads of its id is beyond what those reads can
    // tell (docs/reliability.md).
    void AfterRead(bool ofStateFile);

    // The companion runs as the program should see it: its file there, its process alive and
    // its heartbeat fresh.
    bool Runs() const;
    DWORD ProcessId() const { return pid_; }
    // How many times the state file has been written: what the program read before and after
    // a rewrite may disagree.
    int Rewrites() const { return rewrites_; }
    HANDLE OpenProcess(DWORD processId);
    BOOL ExitCode(HANDLE process, LPDWORD exitCode) const;

  private:
    ListedNotice MakeNotice();
    void ChangeListedNotices();

    Chooser& chooser_;
    RunLog& log_;
    const Clock& clock_;
    Files& files_;
    HandleTable& handles_;

    std::vector<ListedNotice> listed_;
    KnownNotices known_;
    int nextNoticeNumber_ = 1;
    DWORD pid_ = 4242;
    bool alive_ = true;
    bool updateWaiting_ = false;
    std::int64_t heartbeat_ = 0;
    std::wstring countOverride_;
    int readsSinceRewrite_ = 0;
    int rewrites_ = 0;
};

}  // namespace sim
