// The program's two files in memory: the state file, which the companion writes whole, and the
// seen file, which the program writes and to which anything may happen between two steps. Both
// are read by the rules of the profile functions; the seen file is also opened, written and
// measured through file handles.
#pragma once

#include "listed_notice.h"
#include "profile_model.h"

#include <windows.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Checker;
class Chooser;
class HandleTable;
class RunLog;

inline constexpr std::wstring_view kStatePath = L"C:\\sim\\state.ini";
inline constexpr std::wstring_view kSeenPath = L"C:\\sim\\memory\\seen.ini";

class Files {
  public:
    Files(Chooser& chooser, RunLog& log, HandleTable& handles, Checker& checker)
        : chooser_(chooser), log_(log), handles_(handles), checker_(checker) {}

    // The memory of runs before: none, a seen file with some of the listed notices shown,
    // perhaps muted, perhaps a nudge today already, or a seen file of zero bytes.
    void RememberRunsBefore(const std::vector<ListedNotice>& listed, const std::wstring& today);
    const SeenFileModel& Seen() const { return seen_; }

    // The companion's write of its whole file.
    void WriteStateFile(const ProfileSections& sections);
    bool StateFileExists() const { return stateFileExists_; }

    // Between two messages: now and then something happens to the seen file.
    void Act();

    // --- the profile functions ---
    DWORD ReadProfile(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD size,
                      LPCWSTR path);
    BOOL WriteProfile(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path);

    // --- the file functions ---
    DWORD Attributes(LPCWSTR path) const;
    BOOL AttributesEx(LPCWSTR path, LPVOID information) const;
    HANDLE Open(LPCWSTR path, DWORD access, DWORD disposition);
    BOOL Write(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written);
    BOOL Size(HANDLE file, PLARGE_INTEGER size) const;
    void Closed(HANDLE handle) { fileHandles_.erase(handle); }

  private:
    void ChangeSeenFile();
    void ForgetSeenMemory(const char* why);

    Chooser& chooser_;
    RunLog& log_;
    HandleTable& handles_;
    Checker& checker_;
    bool stateFileExists_ = true;
    ProfileSections stateSections_;
    SeenFileModel seen_;
    std::set<HANDLE> fileHandles_;
};

}  // namespace sim
