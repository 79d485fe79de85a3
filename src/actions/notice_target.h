#pragma once

#include <string>
#include <string_view>

// Opens what a clicked balloon points at: "app:<screen>" starts the companion application on that
// screen, an address on the companion's web site goes to the shell; anything else is ignored.
// The target is the function's own copy: the shell's hand-off may dispatch messages, and a handler
// run meanwhile may replace the notice it came from.
void OpenNoticeTarget(std::wstring target);

// COM on this thread for the shell's hand-off of an address, which may pass it to an extension
// that needs COM: started once, apartment-threaded without OLE1 DDE, right before the first
// address goes to the shell, and ended after the message loop (EndComForShell). comTried: the
// start was made; comStarted: it succeeded, so it is owed its end.
extern bool comTried;
extern bool comStarted;
void EndComForShell();

// True for an address on one of the companion's two web origins that is safe to hand the shell.
bool IsAllowedUrl(std::wstring_view target);
