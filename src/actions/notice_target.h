#pragma once

#include <string>
#include <string_view>

// Opens what a clicked balloon points at: "app:<screen>" starts the companion application on that
// screen, an address on the companion's web site goes to the shell; anything else is ignored.
// The target is the function's own copy: the shell's hand-off may dispatch messages, and a handler
// run meanwhile may replace the notice it came from.
void OpenNoticeTarget(std::wstring target);

// True for an address on one of the companion's two web origins that is safe to hand the shell.
bool IsAllowedUrl(std::wstring_view target);
