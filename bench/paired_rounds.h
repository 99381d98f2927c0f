// Two ways of doing the same thing (the library and the floor), measured in alternating rounds on the same line so
// that a slow moment of the machine falls on both alike.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace ryx::bench {

// The CPU time the calling thread has used so far, in nanoseconds (CLOCK_THREAD_CPUTIME_ID).
[[nodiscard]] double ThreadCpuNs() noexcept;

// What one side did over all rounds.
struct SideFigures {
    std::vector<double> latencyNs;          // every call of every round, in order
    std::vector<double> roundMedianNs;      // the median latency of each round
    std::vector<double> roundCpuNsPerCall;  // the caller's CPU time per call in each round
};

struct PairedFigures {
    SideFigures subject;
    SideFigures floor;
};

// Runs `rounds` rounds; each round makes callsPerRound calls of one side, then as many of the other, the side that
// goes first changing from round to round. betweenRounds (optional) runs after each round, untimed. A call returns
// false when it failed: the run stops there and returns false, out holding the rounds completed.
bool RunPairedRounds(std::size_t rounds, std::size_t callsPerRound, const std::function<bool()>& subject,
                     const std::function<bool()>& floor, PairedFigures* out,
                     const std::function<void()>& betweenRounds = {});

// Runs callsPerRound calls of one side as one round and appends its figures to side. False when a call failed.
bool RunRound(std::size_t callsPerRound, const std::function<bool()>& call, SideFigures* side);

}  // namespace ryx::bench
