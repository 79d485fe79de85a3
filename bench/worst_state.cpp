#include "worst_state.h"

#include "profile_text.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>

namespace bench {

namespace {

// About a hundred characters, the length of a real notice text.
constexpr wchar_t kBody[] =
    L"A new version is ready to install. Save your work, then choose Open to restart the app now.";

profile_text::Profile StateProfile(const WorstStateFiles& files, std::int64_t writtenUnix) {
    profile_text::Profile profile = {{L"state",
                                      {{L"written_unix", std::to_wstring(writtenUnix)},
                                       {L"pid", std::to_wstring(files.companionPid)},
                                       {L"status", L"running"},
                                       {L"notices", std::to_wstring(kNoticeCount)},
                                       {L"role", L"server"},
                                       {L"label_title", L"Vestrel"},
                                       {L"label_stopped", L"Stopped"},
                                       {L"label_running", L"Running"},
                                       {L"label_update_waiting", L"Update waiting"},
                                       {L"label_open", L"&Open Vestrel"},
                                       {L"label_stop", L"&Stop"},
                                       {L"label_mute", L"&Mute tips"}}}};
    for (int index = 1; index <= kNoticeCount; ++index) {
        const std::wstring number = std::to_wstring(index);
        profile.push_back({L"notice" + number,
                           {{L"id", NoticeId(index)},
                            {L"kind", index % 3 == 0 ? L"danger" : L"info"},
                            {L"target", L"https://vestrel.app/notices/" + number},
                            {L"title", L"Notice number " + number},
                            {L"body", std::wstring(kBody) + L" (" + number + L")"}}});
    }
    return profile;
}

profile_text::Profile SeenProfile() {
    profile_text::Profile profile = {{L"prefs", {{L"last_nudge_day", L"20000101"}}},
                                     {L"shown", {}}};
    for (int index = 1; index <= kNoticeCount; ++index) {
        profile.back().keys.push_back({NoticeId(index), L"1"});
    }
    return profile;
}

// Readers never see half a file (profile_text writes beside it and renames); a file that cannot
// be written ends the run.
void WriteOrExit(const std::wstring& path, const profile_text::Profile& profile) {
    if (const DWORD error = profile_text::WriteProfileFile(path, profile); error != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"cannot write %ls (error %lu)\n", path.c_str(), error);
        std::exit(2);
    }
}

}  // namespace

std::wstring NoticeId(int index) {
    wchar_t id[32] = {};
    std::swprintf(id, std::size(id), L"release-note-%03d", index);
    return id;
}

WorstStateFiles WriteWorstState(const std::wstring& folder, DWORD companionPid,
                                std::int64_t writtenUnix) {
    WorstStateFiles files;
    files.statePath = folder + L"\\state.ini";
    files.seenPath = folder + L"\\seen.ini";
    files.companionPid = companionPid;
    for (int index = 1; index <= kNoticeCount; ++index) {
        files.noticeSections.push_back(L"notice" + std::to_wstring(index));
    }
    WriteOrExit(files.statePath, StateProfile(files, writtenUnix));
    WriteOrExit(files.seenPath, SeenProfile());
    return files;
}

void RefreshHeartbeat(const WorstStateFiles& files, std::int64_t writtenUnix) {
    WriteOrExit(files.statePath, StateProfile(files, writtenUnix));
}

}  // namespace bench
