#pragma once

#include <string>
#include <string_view>

// Opens what a clicked balloon points at: "app:<screen>" starts the companion application on that
// screen, an address on the companion's web site goes to the shell; anything else is ignored.
void OpenNoticeTarget(const std::wstring& target);

// True for an address on one of the companion's two web origins that is safe to hand the shell.
bool IsAllowedUrl(std::wstring_view target);
