// Runs of the program in the simulated world: from a seed, from a recorded tape, and the
// shrinking of a failing run to a short one that still fails the same way.
#pragma once

#include "world.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct RunResult {
    std::uint64_t seed = 0;
    int steps = 0;
    std::vector<std::uint32_t> tape;
    std::vector<Violation> violations;
    std::vector<std::string> log;
    int balloons = 0;
    bool shrunk = false;  // a run from a shortened tape: replayed with --tape, not --seed

    bool Failed() const { return !violations.empty(); }
};

RunResult RunSeed(std::uint64_t seed, int steps);
RunResult RunTape(const std::vector<std::uint32_t>& tape, int steps);

// A shorter run that breaks the same invariant as the failing one: fewer steps, fewer and
// smaller choices. Tries at most `budget` runs.
RunResult Shrink(const RunResult& failing, int budget = 3000);

// The seed, the violations, the steps (all of them, or the last few) and the command that runs
// the seed again.
std::string Report(const RunResult& run, bool wholeLog);

}  // namespace sim
