// The program's process as Windows sees it: the command line it was started with, its mutex,
// COM on its thread, and the processes it starts (each one reported to the checker).
#pragma once

#include <windows.h>

#include <string>

namespace sim {

class Checker;
class HandleTable;

class Process {
  public:
    Process(HandleTable& handles, Checker& checker);

    LPWSTR CommandLine() { return commandLine_.data(); }
    HANDLE MakeMutex();

    HRESULT StartCom();
    void EndCom() { ++comEnds_; }
    int ComStarts() const { return comStarts_; }
    int ComEnds() const { return comEnds_; }

    BOOL StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info);

  private:
    HandleTable& handles_;
    Checker& checker_;
    std::wstring commandLine_;
    int comStarts_ = 0;
    int comEnds_ = 0;
};

}  // namespace sim
