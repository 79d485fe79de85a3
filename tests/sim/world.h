// A simulated Windows for the program's logic: files and profile files in memory, a shell, a
// clock, the companion application and the user, all deterministic from one stream of choices.
// It stands behind the same platform header as the recording fake (platform_sim.cpp), and the
// program runs in it whole, message loop included: every GetMessageW is one step of the world.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

class TrayCompanion;

namespace sim {

// Every decision of the world is a number drawn here. A run from a seed records the numbers it
// drew (its tape); a run from a tape draws them again, and 0 once the tape is used up. Every
// decision is made so that 0 is its quietest answer, so a shorter tape or smaller numbers give a
// simpler run: that is how a failing run is shrunk.
class Chooser {
  public:
    explicit Chooser(std::uint64_t seed) : random_(seed), fromSeed_(true) {}
    explicit Chooser(std::vector<std::uint32_t> tape) : tape_(std::move(tape)) {}

    // A number below n (n > 0).
    std::uint32_t Below(std::uint32_t n);
    // True with the given chance in percent; 0 drawn means false.
    bool Chance(std::uint32_t percent) { return Below(100) >= 100 - percent; }

    const std::vector<std::uint32_t>& Tape() const { return tape_; }

  private:
    std::mt19937_64 random_;
    bool fromSeed_ = false;
    std::vector<std::uint32_t> tape_;
    std::size_t next_ = 0;
};

// A profile file's content: sections and keys found without regard to letter case (and keys
// with the blanks around them dropped), values as stored.
using ProfileSections = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

std::wstring ProfileName(std::wstring_view name);

// The seen file and what may happen to it.
struct SeenFileModel {
    enum class Kind { Missing, File, Folder };
    Kind kind = Kind::Missing;
    bool byteOrderMark = false;  // UTF-16LE; without it, writes go through the ANSI code page
    bool zeroBytes = false;      // exists and is empty
    bool locked = false;         // another program holds it without sharing
    bool readOnly = false;
    bool diskFull = false;
    ProfileSections sections;

    bool CanBeRead() const { return kind == Kind::File && !locked; }
    std::wstring Value(const std::wstring& section, const std::wstring& key) const;
};

// One notice as the companion lists it.
struct ListedNotice {
    std::wstring id;
    std::wstring kind;
    std::wstring title;
    std::wstring body;
    std::wstring target;
};

// What the user or the shell does about a balloon once it is on screen.
enum class BalloonEnd { AtOnce, Later, Twice, Never, Clicked, InsideNextRequest };

struct Balloon {
    std::wstring id;
    std::wstring target;
    bool nudge = false;
    BalloonEnd end = BalloonEnd::AtOnce;
    std::int64_t acceptedAtTick = 0;
    bool endDelivered = false;
};

// A message that the world sends to the program at a later step.
struct PendingEvent {
    WORD event = 0;  // a tray callback event
    int dueStep = 0;
    bool insideNextRequest = false;
    std::wstring balloonId;  // the balloon it is about
};

// What the invariants hold the program to; each is one sentence.
struct Violation {
    std::string invariant;
    std::string detail;
    int step = 0;
};

class World {
  public:
    World(Chooser chooser, int steps);

    // Runs the whole program in this world to its end; the violations found, in order.
    const std::vector<Violation>& Run();

    const std::vector<std::string>& Log() const { return log_; }
    const std::vector<Violation>& Violations() const { return violations_; }
    const Chooser& Choices() const { return chooser_; }
    int StepsTaken() const { return step_; }
    int BalloonsShown() const { return balloonsShown_; }

    // The platform functions of platform_sim.cpp reach the world through this.
    static World& Current();

    // --- the platform's side, called from platform_sim.cpp ---
    LPWSTR CommandLine();
    HANDLE OpenHandle(const std::string& what);
    bool CloseOpenHandle(HANDLE handle);
    ATOM TakeWindowClass(const WNDCLASSW* windowClass);
    HWND MakeWindow(LPVOID param);
    LONG_PTR SetUserData(HWND window, LONG_PTR value);
    LONG_PTR UserData(HWND window) const;
    BOOL NextStep(LPMSG msg);
    LRESULT Dispatch(const MSG* msg);
    void PostQuit();
    void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL NotifyIcon(DWORD message, const NOTIFYICONDATAW* data);
    HMENU MakeMenu();
    void AddMenuItem(UINT flags, UINT_PTR id, LPCWSTR text);
    BOOL TrackMenu();
    BOOL EndMenu(HMENU menu);
    DWORD ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD size,
                      LPCWSTR path);
    BOOL WriteProfile(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path);
    DWORD FileAttributes(LPCWSTR path) const;
    BOOL FileAttributesEx(LPCWSTR path, LPVOID information) const;
    HANDLE OpenFileOf(LPCWSTR path, DWORD access, DWORD shareMode, DWORD disposition);
    BOOL WriteToFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written);
    BOOL FileSize(HANDLE file, PLARGE_INTEGER size) const;
    HRESULT StartCom();
    void EndCom();
    HANDLE OpenCompanionProcess(DWORD processId);
    BOOL ExitCode(HANDLE process, LPDWORD exitCode) const;
    BOOL StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info);
    void HandToShell(LPCWSTR file);
    void LocalTime(LPSYSTEMTIME time) const;
    std::int64_t UnixNow() const { return unixNow_; }

  private:
    // The steps of the world between two messages.
    void ActBeforeMessage();
    MSG NextMessage();
    void RewriteStateFile();
    void ChangeListedNotices();
    void ChangeSeenFile();
    void RecreateTaskbar(bool inside);
    void Nested(const char* where);
    void DeliverEvent(WORD event, const char* how);
    void DeliverTick(const char* how);
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam);
    ListedNotice MakeNotice();

    // The invariants.
    void Fail(const std::string& invariant, const std::string& detail);
    void CheckBetweenSteps();
    void CheckBalloonRequest(const std::wstring& id);
    void CheckOpened(const std::wstring& what);
    void ObserveQueue(const std::wstring* requested);
    void CheckAtEnd(int exitCode);
    void ForgetSeenMemory(const char* why);
    const ::TrayCompanion* Program() const;
    bool CompanionRuns() const;
    std::wstring IdOfTitle(std::wstring_view title) const;
    std::wstring DayOf(std::int64_t unixTime) const;
    void Note(const std::string& line);

    Chooser chooser_;
    int steps_;
    int step_ = 0;
    std::vector<std::string> log_;
    std::vector<Violation> violations_;

    // The clock: seconds since 1970 in UTC; local time is UTC plus the offset.
    std::int64_t unixNow_ = 0;
    std::int64_t localOffset_ = 0;
    std::int64_t ticks_ = 0;

    // The program's process and window.
    std::wstring commandLine_;
    std::set<HANDLE> openHandles_;
    std::map<HANDLE, std::string> handleNames_;
    std::uintptr_t nextHandle_ = 0x5000;
    WNDPROC windowProc_ = nullptr;
    HWND window_ = nullptr;
    LONG_PTR userData_ = 0;
    bool windowGone_ = false;
    bool quitPosted_ = false;
    std::deque<MSG> posted_;
    int comStarts_ = 0;
    int comEnds_ = 0;

    // The files.
    std::wstring statePath_ = L"C:\\sim\\state.ini";
    std::wstring seenPath_ = L"C:\\sim\\memory\\seen.ini";
    bool stateFileExists_ = true;
    ProfileSections stateSections_;
    SeenFileModel seen_;
    std::map<HANDLE, std::wstring> fileHandles_;

    // The companion application.
    std::vector<ListedNotice> listed_;
    std::map<std::wstring, ListedNotice> known_;  // every notice ever listed, by id
    int nextNoticeNumber_ = 1;
    DWORD companionPid_ = 4242;
    bool companionAlive_ = true;
    bool updateWaiting_ = false;
    std::int64_t heartbeat_ = 0;
    std::wstring countOverride_;
    int readsSinceRewrite_ = 0;

    // The shell.
    bool iconHeld_ = false;
    bool inBalloonRequest_ = false;
    bool taskbarRecreatedInRequest_ = false;
    std::optional<Balloon> onScreen_;       // displayed, its end not yet reported
    std::optional<Balloon> lastDisplayed_;  // the last balloon the user could see
    std::deque<PendingEvent> pending_;
    // Counters at the last accepted balloon, for the rule of one balloon at a time.
    bool anyAccepted_ = false;
    std::int64_t endsDelivered_ = 0;
    std::int64_t taskbarsDelivered_ = 0;
    std::int64_t endsAtAccept_ = 0;
    std::int64_t taskbarsAtAccept_ = 0;
    std::int64_t ticksAtAccept_ = 0;

    // The menu and the user.
    std::vector<std::pair<UINT_PTR, UINT>> menuItems_;
    std::wstring expectedOpen_;  // what the event being dispatched may open; empty: nothing
    bool inClick_ = false;
    bool inMenuCommand_ = false;
    UINT_PTR menuCommand_ = 0;
    std::vector<std::wstring> opened_;

    // What the invariants remember.
    std::set<std::wstring> shownThisRun_;
    std::map<std::wstring, int> nudgesShownOnDay_;
    std::optional<bool> userMute_;
    bool muteStoredInFile_ = false;
    bool programKnowsMute_ = false;  // it read the preference or wrote it in this run
    bool programKnowsNudgeDay_ = false;
    bool nudgeDayStoredInFile_ = false;
    std::vector<std::wstring> modelQueue_;
    int ticksWaitingWithNothingOnScreen_ = 0;
    bool requestSinceLastTick_ = false;
    int balloonsShown_ = 0;
};

}  // namespace sim
