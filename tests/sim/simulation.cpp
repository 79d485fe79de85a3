#include "simulation.h"

#include <algorithm>
#include <sstream>

namespace sim {

namespace {

RunResult Finish(World& world, std::uint64_t seed, int steps) {
    world.Run();
    RunResult result;
    result.seed = seed;
    result.steps = steps;
    result.tape = world.Choices().Tape();
    result.violations = world.Violations();
    result.log = world.Log();
    result.balloons = world.BalloonsShown();
    return result;
}

bool FailsAlike(const RunResult& run, const std::string& invariant) {
    return std::any_of(run.violations.begin(), run.violations.end(),
                       [&invariant](const Violation& v) { return v.invariant == invariant; });
}

}  // namespace

RunResult RunSeed(std::uint64_t seed, int steps) {
    World world(Chooser(seed), steps);
    return Finish(world, seed, steps);
}

RunResult RunTape(const std::vector<std::uint32_t>& tape, int steps) {
    World world{Chooser(tape), steps};
    return Finish(world, 0, steps);
}

RunResult Shrink(const RunResult& failing, int budget) {
    if (!failing.Failed()) {
        return failing;
    }
    const std::string invariant = failing.violations.front().invariant;
    RunResult best = failing;
    int runs = 0;
    const auto tryRun = [&](const std::vector<std::uint32_t>& tape, int steps) {
        if (runs >= budget) {
            return false;
        }
        ++runs;
        RunResult run = RunTape(tape, steps);
        if (!FailsAlike(run, invariant)) {
            return false;
        }
        run.seed = failing.seed;
        run.shrunk = true;
        best = std::move(run);
        return true;
    };

    // No more steps than it took to fail.
    const int failedAt = failing.violations.front().step;
    if (failedAt + 1 < best.steps) {
        tryRun(best.tape, failedAt + 1);
    }
    bool progress = true;
    while (progress && runs < budget) {
        progress = false;
        // Fewer choices: drop runs of them, long ones first.
        for (std::size_t size = std::max<std::size_t>(best.tape.size() / 2, 1); size >= 1;
             size /= 2) {
            for (std::size_t start = 0; start + size <= best.tape.size() && runs < budget;) {
                std::vector<std::uint32_t> tape = best.tape;
                tape.erase(tape.begin() + static_cast<std::ptrdiff_t>(start),
                           tape.begin() + static_cast<std::ptrdiff_t>(start + size));
                if (tryRun(tape, best.steps)) {
                    progress = true;
                } else {
                    start += size;
                }
            }
            if (size == 1) {
                break;
            }
        }
        // Smaller choices: each towards 0, the quietest answer.
        for (std::size_t i = 0; i < best.tape.size() && runs < budget; ++i) {
            if (best.tape[i] == 0) {
                continue;
            }
            std::vector<std::uint32_t> tape = best.tape;
            tape[i] = 0;
            if (tryRun(tape, best.steps)) {
                progress = true;
                continue;
            }
            tape[i] = best.tape[i] / 2;
            if (tape[i] != best.tape[i] && tryRun(tape, best.steps)) {
                progress = true;
            }
        }
        // Fewer steps.
        const int failedStep = best.violations.front().step;
        if (failedStep + 1 < best.steps && tryRun(best.tape, failedStep + 1)) {
            progress = true;
        }
    }
    // The tape as this last run drew it, for a replay.
    return best;
}

std::string Report(const RunResult& run, bool wholeLog) {
    std::ostringstream text;
    text << "seed " << run.seed << ", " << run.steps << " steps: ";
    if (!run.Failed()) {
        text << "every invariant held\n";
    } else {
        text << run.violations.size() << " violation(s)\n";
        for (const Violation& violation : run.violations) {
            text << "  at step " << violation.step << ": " << violation.invariant << " -- "
                 << violation.detail << "\n";
        }
    }
    const std::size_t first = wholeLog || run.log.size() <= 40 ? 0 : run.log.size() - 40;
    if (first > 0) {
        text << "  ... " << first << " earlier lines\n";
    }
    for (std::size_t i = first; i < run.log.size(); ++i) {
        text << "  " << run.log[i] << "\n";
    }
    if (run.shrunk) {
        text << "replay: scripts/simulate.sh --steps " << run.steps << " --tape ";
        for (std::size_t i = 0; i < run.tape.size(); ++i) {
            text << (i == 0 ? "" : ",") << run.tape[i];
        }
        text << "\n";
    } else {
        text << "replay: scripts/simulate.sh --seed " << run.seed << " --steps " << run.steps
             << "\n";
    }
    return text.str();
}

}  // namespace sim
