#pragma once

#include "actions/launcher.h"

#include <string>
#include <string_view>

// Opens what a clicked balloon points at, and owns the COM that the shell's hand-off of an
// address may need on this thread: it passes the address to whatever handles it, possibly an
// extension that needs COM. COM is started once, apartment-threaded without OLE1 DDE, right
// before the first address goes to the shell (most runs never hand one over), and ended when the
// opener goes, after the message loop.
class TargetOpener {
  public:
    explicit TargetOpener(const AppLauncher& launcher) : launcher_(launcher) {}
    ~TargetOpener();
    TargetOpener(const TargetOpener&) = delete;
    TargetOpener& operator=(const TargetOpener&) = delete;

    // "app:<screen>" starts the companion application on that screen, an address on the
    // companion's web site goes to the shell; anything else is ignored. The target is the
    // function's own copy: the shell's hand-off may dispatch messages, and a handler run
    // meanwhile may replace the notice it came from.
    void OpenNoticeTarget(std::wstring target);

  private:
    void StartComForShell();

    const AppLauncher& launcher_;
    bool comTried_ = false;    // the start was made
    bool comStarted_ = false;  // it succeeded, so it is owed its end
};

// A target that names a screen of the companion application: "app:" and the screen's name.
inline constexpr std::wstring_view kScreenPrefix = L"app:";
inline constexpr std::size_t kMaxScreenLength = 32;

// True for a screen name the companion may be started on: 1 to 32 letters a to z.
bool IsScreenName(std::wstring_view screen);

// True for an address on one of the companion's two web origins that is safe to hand the shell.
bool IsAllowedUrl(std::wstring_view target);
