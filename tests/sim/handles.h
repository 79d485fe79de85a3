// The handles the program holds: each one made here, named for the report, and closed once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

class Checker;

class HandleTable {
  public:
    explicit HandleTable(Checker& checker) : checker_(checker) {}

    HANDLE Open(const std::string& what);
    // False, and reported, for a handle that is not open.
    bool Close(HANDLE handle);
    // What each handle still open stands for, in the order they were made.
    std::vector<std::string> OpenNames() const;

  private:
    Checker& checker_;
    std::set<HANDLE> open_;
    std::map<HANDLE, std::string> names_;
    std::uintptr_t next_ = 0x5000;
};

}  // namespace sim
