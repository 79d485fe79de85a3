// The invariants of the simulated world. The modules that play a part of Windows (the shell,
// the files, the clock, the handles, the menu) report here what happened; the checker keeps what
// the program may know by then, with a reference model of its queue, and decides.
#pragma once

#include "listed_notice.h"
#include "profile_model.h"
#include "queue_model.h"
#include "run_log.h"
#include "window.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// An invariant broken: the invariant in one sentence, what broke it, and when.
struct Violation {
    std::string invariant;
    std::string detail;
    int step = 0;
};

class Checker {
  public:
    Checker(RunLog& log, const Window& window, const SeenFileModel& seen, const KnownNotices& known)
        : log_(log), window_(window), seen_(seen), known_(known) {}

    // What the seen file holds of the runs before, when the program starts.
    void Start();

    void Fail(const std::string& invariant, const std::string& detail);
    const std::vector<Violation>& Violations() const { return violations_; }

    // --- the message pump ---
    void BetweenSteps();
    void MessageAskedForAfterDestroy();
    // A message sent to the window procedure: what it may open meanwhile, for a click.
    struct Delivery {
        bool click = false;
        bool menuEvent = false;
        bool outerInClick = false;
        std::wstring outerExpected;
        std::vector<std::wstring> outerOpened;
    };
    Delivery BeginDelivery(UINT message, LPARAM lParam);
    void EndDelivery(const Delivery& delivery);
    // After the program handled a timer tick: how things stand for a balloon to be shown.
    struct TickFacts {
        std::int64_t ticks = 0;
        std::optional<std::int64_t> balloonShownAtTick;  // the balloon on screen, if any
        bool iconHeld = false;
        bool companionRuns = false;
        bool userCanSee = true;
    };
    void AfterTick(const TickFacts& facts);
    void ProgramThrew(const char* what);
    void AtEnd(int exitCode, const std::vector<std::string>& openHandles, int comStarts,
               int comEnds, bool iconLeftBehind);

    // --- the shell and the processes ---
    void BalloonRequested(const std::wstring& id, bool insideAnotherRequest, std::int64_t tick);
    void BalloonShown(const std::wstring& id, const std::wstring& day, std::int64_t tick);
    // A balloon requested while the user cannot see it (the screen locked, a full-screen program,
    // a presentation, quiet time).
    void BalloonRequestedUnseen(const std::wstring& id);
    // The program started a process or handed an address to the shell: "launch ..." or
    // "shell <address>".
    void Opened(const std::wstring& what);

    // --- the handles ---
    void HandleClosedThatIsNotOpen();

    // --- the clock ---
    void ClockWentBack();

    // --- the files ---
    void SeenMemoryLost();
    // The program read a preference of [prefs] from a seen file it could read.
    void SeenPreferenceRead(const std::wstring& key);
    // The program wrote a preference of [prefs]; stored: the seen file took it.
    void PreferenceWritten(const std::wstring& key, const std::wstring& value, bool stored);
    void OtherFileRead(const std::wstring& path);
    void OtherFileWritten(const std::wstring& path);
    void OtherFileOpened(const std::wstring& path);

    // --- the menu ---
    void MenuItemAdded(UINT_PTR id, UINT flags);
    void MenuCommandChosen(UINT_PTR command);

  private:
    void ObserveQueue(const std::wstring* requested);

    RunLog& log_;
    const Window& window_;
    const SeenFileModel& seen_;
    const KnownNotices& known_;
    std::vector<Violation> violations_;

    QueueModel queue_;
    std::set<std::wstring> shownThisRun_;
    std::map<std::wstring, int> nudgesShownOnDay_;

    // The user's choice about nudges, and what the program can know of it.
    std::optional<bool> userMute_;
    bool muteStoredInFile_ = false;
    bool programKnowsMute_ = false;  // it read the preference or wrote it in this run
    bool programKnowsNudgeDay_ = false;
    bool nudgeDayStoredInFile_ = false;

    // One balloon at a time: the ends and re-created taskbars delivered, and how things stood at
    // the last balloon shown.
    bool anyShown_ = false;
    std::int64_t endsDelivered_ = 0;
    std::int64_t taskbarsDelivered_ = 0;
    std::int64_t endsAtShow_ = 0;
    std::int64_t taskbarsAtShow_ = 0;
    std::int64_t ticksAtShow_ = 0;
    int ticksWaitingWithNothingOnScreen_ = 0;
    bool requestSinceLastTick_ = false;

    // What a click or a menu command may open.
    std::wstring lastShownTarget_;  // of the last balloon the user could see
    std::wstring expectedOpen_;     // what the click being delivered may open; empty: nothing
    bool inClick_ = false;
    std::vector<std::wstring> opened_;
    bool inMenuCommand_ = false;
    UINT_PTR menuCommand_ = 0;
};

}  // namespace sim
