// The simulated shell: the notification area that holds the program's icon or not, the balloon
// on screen, and the events it sends about balloons and when. It answers the program's requests
// and tells the checker what it was asked and what it showed; the world delivers the events it
// keeps, at the step they are due or inside a later call of the program.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace sim {

class Checker;
class Chooser;
class Clock;
class DesktopChecker;
class RunLog;

// How the program's tray events read in the log.
const char* EventName(WORD event);

// What the user or the shell does about a balloon once it is on screen.
enum class BalloonEnd { AtOnce, Later, Twice, Never, Clicked, InsideNextRequest };

struct Balloon {
    std::wstring id;
    BalloonEnd end = BalloonEnd::AtOnce;
    std::int64_t shownAtTick = 0;
};

// An event that the shell sends the program at a later step.
struct PendingEvent {
    WORD event = 0;  // a tray callback event
    int dueStep = 0;
    bool insideNextRequest = false;
    std::wstring balloonId;  // the balloon it is about
};

// A balloon request being answered; the program may be called back meanwhile.
struct BalloonRequest {
    std::wstring id;
    bool refused = false;
};

class Shell {
  public:
    Shell(Chooser& chooser, RunLog& log, const Clock& clock, Checker& checker,
          DesktopChecker& desktop)
        : chooser_(chooser), log_(log), clock_(clock), checker_(checker), desktop_(desktop) {}

    static bool IsBalloonRequest(DWORD message, const NOTIFYICONDATAW& data) {
        return message == NIM_MODIFY && (data.uFlags & NIF_INFO) != 0;
    }
    // Any other request: adding, versioning, changing or deleting the icon, or taking the focus
    // back. An accepted add or change with NIF_ICON gives the shell the record's image.
    BOOL Notify(DWORD message, const NOTIFYICONDATAW& data);

    // A balloon request, in two halves: nothing when it is refused at once, else the request,
    // whose answer comes from EndBalloonRequest once the world has delivered what the shell
    // sends meanwhile.
    std::optional<BalloonRequest> BeginBalloonRequest(const std::wstring& id);
    BOOL EndBalloonRequest(const BalloonRequest& request);
    bool InBalloonRequest() const { return inRequest_; }

    // The taskbar is re-created, with the icon or without it; the balloon on screen is gone.
    void RecreateTaskbar();

    // The events the shell keeps: one it holds for the next balloon request, the one due at
    // this step, or simply the next one (delivered inside a call of the program).
    std::optional<PendingEvent> TakeEventForRequest();
    std::optional<PendingEvent> TakeDueEvent(int step);
    std::optional<PendingEvent> TakeNextEvent();
    // An old balloon's event: a click on its notification long after, or the end given.
    WORD OldBalloonEvent(WORD end);

    // The user clicked the balloon on screen; the shell reports the click.
    void ClickedOnScreen();
    // The shell hands an address to whatever handles it.
    void HandAddressOver(LPCWSTR address);

    bool HoldsIcon() const { return iconHeld_; }
    const std::optional<Balloon>& OnScreen() const { return onScreen_; }
    int BalloonsShown() const { return balloonsShown_; }

    // The image of the icon the shell holds; null while it holds none.
    HICON HeldImage() const { return iconHeld_ ? heldImage_ : nullptr; }

  private:
    void EndOnScreen(const std::wstring& id);

    Chooser& chooser_;
    RunLog& log_;
    const Clock& clock_;
    Checker& checker_;
    DesktopChecker& desktop_;

    bool iconHeld_ = false;
    HICON heldImage_ = nullptr;
    bool inRequest_ = false;
    bool taskbarRecreatedInRequest_ = false;
    std::optional<Balloon> onScreen_;  // displayed, its end not yet reported
    std::deque<PendingEvent> pending_;
    int balloonsShown_ = 0;
};

}  // namespace sim
