// How much of each measurement a run makes: the full run, or the quick one that only proves everything still
// builds and runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

namespace ryx::bench {

struct Plan {
    bool quick = false;
    std::size_t shortRounds = 0;       // paired rounds of short exchanges
    std::size_t shortCalls = 0;        // exchanges of each side per round
    std::size_t largeRounds = 0;       // paired rounds of one 64 KiB exchange each
    std::size_t openRounds = 0;        // opens at the first rate
    std::size_t readersExchanges = 0;  // exchanges per reader and round with many readers
    std::size_t readersRounds = 0;
    double pureMinSeconds = 0;  // Google Benchmark's minimum time for the pure parts
    std::size_t callgrindExchanges = 0;
};

[[nodiscard]] Plan MakePlan(bool quick);

// The real-line cases: the exchanges made at a rate, 0 when the run leaves the case out.
[[nodiscard]] std::size_t LineExchanges(const Plan& plan, std::size_t commandLength, std::uint32_t rate);

// The rates of the real-line cases, and the reader counts of the many-reader case.
inline constexpr std::uint32_t kLineRates[] = {9600, 115200, 500000};
inline constexpr std::size_t kReaderCounts[] = {1, 2, 4, 8, 16};

// Thrown by a measurement that cannot go on; the benchmark is reported as failed with the message.
struct MeasurementFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
inline void Require(bool condition, const std::string& what) {
    if (!condition) throw MeasurementFailure(what);
}

// Runs body(state) as the single iteration of a benchmark, turning an exception into a failed benchmark.
template <typename Body>
void Measure(benchmark::State& state, Body&& body) {
    for (auto _ : state) {
        try {
            body(state);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
}

// The registrations, one per area; each adds its benchmarks under the names the table reads.
void RegisterShortExchange(const Plan& plan);
void RegisterLargeExchange(const Plan& plan);
void RegisterRealLine(const Plan& plan);
void RegisterOpen(const Plan& plan);
void RegisterPureParts(const Plan& plan);
void RegisterManyReaders(const Plan& plan);

/// Registers `run` as a benchmark that times its own rounds: one iteration, wall time, figures in milliseconds.
template <typename Run>
void RegisterTimedOnce(const std::string& name, Run run) {
    benchmark::RegisterBenchmark(name.c_str(), std::move(run))
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace ryx::bench
