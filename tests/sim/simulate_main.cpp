// Explores the simulated world from many seeds, or replays one run.
//
//   simulate.exe [--seeds N] [--from S] [--steps K]   N runs from seed S on (default 1000 from 1),
//                                                     a progress line every 500, and each
//                                                     failing run shrunk and reported
//   simulate.exe ... --brief 1                         failing runs in one line each, unshrunk
//   simulate.exe --seed S [--steps K]                 one run, every step of it
//   simulate.exe --tape A,B,C,... [--steps K]         one run from a recorded tape
//
// Exit code 0 when every run kept every invariant, 1 when one did not, 2 for bad arguments.
#include "simulation.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Settings {
    std::uint64_t from = 1;
    std::uint64_t seeds = 1000;
    int steps = 400;
    bool one = false;
    std::vector<std::uint32_t> tape;
    bool fromTape = false;
    bool brief = false;
};

bool Parse(int argc, wchar_t** argv, Settings& settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const std::wstring value = argv[i + 1];
        if (name == L"--seeds") {
            settings.seeds = std::wcstoull(value.c_str(), nullptr, 10);
        } else if (name == L"--from") {
            settings.from = std::wcstoull(value.c_str(), nullptr, 10);
        } else if (name == L"--steps") {
            settings.steps = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
        } else if (name == L"--seed") {
            settings.from = std::wcstoull(value.c_str(), nullptr, 10);
            settings.one = true;
        } else if (name == L"--brief") {
            settings.brief = value == L"1";
        } else if (name == L"--tape") {
            settings.fromTape = true;
            std::size_t start = 0;
            while (start <= value.size()) {
                const std::size_t comma = value.find(L',', start);
                const std::wstring number = value.substr(start, comma - start);
                if (!number.empty()) {
                    settings.tape.push_back(
                        static_cast<std::uint32_t>(std::wcstoul(number.c_str(), nullptr, 10)));
                }
                if (comma == std::wstring::npos) {
                    break;
                }
                start = comma + 1;
            }
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && settings.steps > 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Settings settings;
    if (!Parse(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: simulate [--seeds N] [--from S] [--steps K] | --seed S "
                     "[--steps K] | --tape A,B,... [--steps K]\n");
        return 2;
    }
    if (settings.one || settings.fromTape) {
        sim::RunResult run = settings.fromTape ? sim::RunTape(settings.tape, settings.steps)
                                               : sim::RunSeed(settings.from, settings.steps);
        run.shrunk = settings.fromTape;
        std::fputs(sim::Report(run, true).c_str(), stdout);
        if (run.Failed() && !settings.fromTape) {
            std::fputs("shrunk:\n", stdout);
            std::fputs(sim::Report(sim::Shrink(run), true).c_str(), stdout);
        }
        return run.Failed() ? 1 : 0;
    }

    const auto began = std::chrono::steady_clock::now();
    std::uint64_t failing = 0;
    long long steps = 0;
    long long balloons = 0;
    for (std::uint64_t i = 0; i < settings.seeds; ++i) {
        const std::uint64_t seed = settings.from + i;
        const sim::RunResult run = sim::RunSeed(seed, settings.steps);
        steps += settings.steps;
        balloons += run.balloons;
        if (run.Failed()) {
            ++failing;
            if (settings.brief) {
                const sim::Violation& first = run.violations.front();
                std::printf("seed %llu FAILED at step %d: %s -- %s\n",
                            static_cast<unsigned long long>(seed), first.step,
                            first.invariant.c_str(), first.detail.c_str());
            } else {
                std::printf("seed %llu FAILED\n%s", static_cast<unsigned long long>(seed),
                            sim::Report(sim::Shrink(run), true).c_str());
            }
        }
        if ((i + 1) % 500 == 0 || i + 1 == settings.seeds) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            std::printf("seeds %llu..%llu: %llu failing, %lld steps, %lld balloons, %.1f s\n",
                        static_cast<unsigned long long>(settings.from),
                        static_cast<unsigned long long>(seed),
                        static_cast<unsigned long long>(failing), steps, balloons, seconds);
            std::fflush(stdout);
        }
    }
    return failing == 0 ? 0 : 1;
}
