#include "handles.h"

#include "checker.h"

namespace sim {

HANDLE HandleTable::Open(const std::string& what) {
    const auto handle = reinterpret_cast<HANDLE>(next_);
    next_ += 4;
    open_.insert(handle);
    names_[handle] = what;
    return handle;
}

bool HandleTable::Close(HANDLE handle) {
    if (open_.erase(handle) == 0) {
        checker_.HandleClosedThatIsNotOpen();
        return false;
    }
    return true;
}

std::vector<std::string> HandleTable::OpenNames() const {
    std::vector<std::string> names;
    for (HANDLE handle : open_) {
        names.push_back(names_.at(handle));
    }
    return names;
}

}  // namespace sim
