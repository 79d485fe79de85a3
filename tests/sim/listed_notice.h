// A notice as the companion application lists it in its state file.
#pragma once

#include <map>
#include <string>

namespace sim {

struct ListedNotice {
    std::wstring id;
    std::wstring kind;
    std::wstring title;
    std::wstring body;
    std::wstring target;
};

// Every notice the companion ever listed in a run, by id: what the invariants judge the
// program's queue and balloons against.
using KnownNotices = std::map<std::wstring, ListedNotice>;

}  // namespace sim
