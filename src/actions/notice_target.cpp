#include "actions/notice_target.h"

#include "actions/launcher.h"
#include "platform/platform.h"
#include "web_host.h"

#include <algorithm>

namespace {

// The longest address handed to the shell: what browsers and the shell's URL handling take. Some
// shells copy the address into a fixed buffer of the handler's command line.
constexpr std::size_t kMaxUrlLength = 2048;

// The shell puts the address into the browser's command line in place of "%1"; a quote or a
// blank there could end the argument and add others, so such an address is never passed on.
bool CanBreakOutOfCommandLine(std::wstring_view target) {
    return std::any_of(target.begin(), target.end(),
                       [](wchar_t c) { return c == L'"' || c == L' ' || c < 0x20 || c == 0x7F; });
}

bool IsOnOrigin(std::wstring_view target, std::wstring_view origin) {
    if (target == origin) {
        return true;
    }
    return target.size() > origin.size() && target.substr(0, origin.size()) == origin &&
           target[origin.size()] == L'/';
}

}  // namespace

TargetOpener::~TargetOpener() {
    if (comStarted_) {
        platform::CoUninitialize();
    }
}

void TargetOpener::StartComForShell() {
    if (comTried_) {
        return;
    }
    comTried_ = true;
    comStarted_ = SUCCEEDED(
        platform::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

bool IsScreenName(std::wstring_view screen) {
    return !screen.empty() && screen.size() <= kMaxScreenLength &&
           std::all_of(screen.begin(), screen.end(),
                       [](wchar_t c) { return c >= L'a' && c <= L'z'; });
}

bool IsAllowedUrl(std::wstring_view target) {
    if (target.size() > kMaxUrlLength || CanBreakOutOfCommandLine(target)) {
        return false;
    }
    return IsOnOrigin(target, kCompanionWebOrigin) || IsOnOrigin(target, kCompanionWebOriginWww);
}

// The copy is deliberate: see the header.
void TargetOpener::OpenNoticeTarget(
    std::wstring target) {  // NOLINT(performance-unnecessary-value-param)
    const std::wstring_view view = target;
    if (view.substr(0, kScreenPrefix.size()) == kScreenPrefix) {
        const std::wstring_view screen = view.substr(kScreenPrefix.size());
        if (IsScreenName(screen)) {
            launcher_.LaunchApp(std::wstring(screen));
        }
        return;
    }
    if (IsAllowedUrl(target)) {
        StartComForShell();
        platform::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
}
