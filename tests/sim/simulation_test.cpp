// A fixed set of seeds through the simulated world, on every run of the logic tests. Each run
// checks every invariant after every step; a failing seed is shrunk and reported with the
// command that replays it.
#include "simulation.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kFirstSeed = 1;
constexpr std::uint64_t kSeeds = 1000;
constexpr int kSteps = 400;

TEST(Simulation, FixedSeedsKeepEveryInvariant) {
    int balloons = 0;
    for (std::uint64_t seed = kFirstSeed; seed < kFirstSeed + kSeeds; ++seed) {
        const sim::RunResult run = sim::RunSeed(seed, kSteps);
        balloons += run.balloons;
        if (run.Failed()) {
            ADD_FAILURE() << sim::Report(run, false) << "shrunk:\n"
                          << sim::Report(sim::Shrink(run), true);
        }
    }
    // The seeds must reach the program's balloons, or they test little.
    EXPECT_GT(balloons, static_cast<int>(kSeeds));
}

}  // namespace
