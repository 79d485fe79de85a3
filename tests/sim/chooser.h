// The tape of the simulated world: every decision of the world is a number drawn here.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace sim {

// A run from a seed records the numbers it drew (its tape); a run from a tape draws them again,
// and 0 once the tape is used up. Every decision is made so that 0 is its quietest answer, so a
// shorter tape or smaller numbers give a simpler run: that is how a failing run is shrunk. The
// modules of the world all draw from the one chooser of their run, so the order in which they
// draw is part of what a seed means.
class Chooser {
  public:
    explicit Chooser(std::uint64_t seed) : random_(seed), fromSeed_(true) {}
    explicit Chooser(std::vector<std::uint32_t> tape) : tape_(std::move(tape)) {}

    // A number below n (n > 0).
    std::uint32_t Below(std::uint32_t n);
    // True with the given chance in percent; 0 drawn means false.
    bool Chance(std::uint32_t percent) { return Below(100) >= 100 - percent; }

    const std::vector<std::uint32_t>& Tape() const { return tape_; }

  private:
    std::mt19937_64 random_;
    bool fromSeed_ = false;
    std::vector<std::uint32_t> tape_;
    std::size_t next_ = 0;
};

}  // namespace sim
