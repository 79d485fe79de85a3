#include "chooser.h"

namespace sim {

std::uint32_t Chooser::Below(std::uint32_t n) {
    if (fromSeed_) {
        const auto value = static_cast<std::uint32_t>(random_() % n);
        tape_.push_back(value);
        return value;
    }
    if (next_ < tape_.size()) {
        return tape_[next_++] % n;
    }
    return 0;
}

}  // namespace sim
