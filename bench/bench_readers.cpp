// Many readers at once, each with its own simulator and driven by its own thread: what all of them exchange per
// second and how long the slowest reader's slowest exchanges take, for the library and for the floor.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_card.h"
#include "bench_plan.h"
#include "bench_reader.h"
#include "stats.h"

namespace ryx::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct PassFigures {
    double exchangesPerSecond = 0;
    double worstP99Ns = 0;
};

// Every reader makes `exchanges` exchanges on its own thread, all starting together. False when one failed.
bool RunPass(std::vector<std::unique_ptr<BenchReader>>& readers, std::size_t exchanges, bool library,
             PassFigures* figures) {
    const std::vector<std::uint8_t> command = BenchCommand(kShortCommandLength);
    const std::size_t n = readers.size();
    std::vector<std::vector<double>> latencies(n);
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans(n);
    std::atomic<bool> failed{false};
    std::barrier start(static_cast<std::ptrdiff_t>(n + 1));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            BenchReader& reader = *readers[i];
            const std::vector<Frame> frames = reader.FloorFrames(command);
            std::vector<std::uint8_t> response(kResponseBufferSize);
            latencies[i].reserve(exchanges);
            start.arrive_and_wait();
            spans[i].first = Clock::now();
            for (std::size_t k = 0; k < exchanges && !failed; ++k) {
                const auto begin = Clock::now();
                const bool ok =
                    library ? reader.LibraryExchange(command, response, 2) : reader.FloorExchange(frames, response, 2);
                const auto end = Clock::now();
                if (!ok) failed = true;
                latencies[i].push_back(
                    static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count()));
            }
            spans[i].second = Clock::now();
        });
    }
    start.arrive_and_wait();
    for (auto& thread : threads) thread.join();
    // The pass lasts from the first reader's start to the last reader's end, as the readers saw them: a clock read
    // here after the barrier could come after a short pass has already ended.
    Clock::time_point first = spans[0].first;
    Clock::time_point last = spans[0].second;
    for (const auto& [begin, end] : spans) {
        first = std::min(first, begin);
        last = std::max(last, end);
    }
    const double seconds = std::chrono::duration<double>(last - first).count();
    if (failed) return false;
    figures->exchangesPerSecond = static_cast<double>(n * exchanges) / seconds;
    figures->worstP99Ns = 0;
    for (const auto& samples : latencies) figures->worstP99Ns = std::max(figures->worstP99Ns, Quantile(samples, 0.99));
    for (auto& reader : readers) reader->Sim().ClearRecords();
    return true;
}

void ManyReaders(benchmark::State& state, const Plan& plan, std::size_t count) {
    Measure(state, [&](benchmark::State& s) {
        std::vector<std::unique_ptr<BenchReader>> readers;
        for (std::size_t i = 0; i < count; ++i) readers.push_back(std::make_unique<BenchReader>());
        std::vector<double> libraryRate, floorRate, libraryP99, floorP99;
        for (std::size_t round = 0; round < plan.readersRounds; ++round) {
            // Alternate which goes first, as with one reader.
            for (const bool library : {round % 2 == 0, round % 2 != 0}) {
                PassFigures figures;
                Require(RunPass(readers, plan.readersExchanges, library, &figures), "an exchange failed");
                (library ? libraryRate : floorRate).push_back(figures.exchangesPerSecond);
                (library ? libraryP99 : floorP99).push_back(figures.worstP99Ns);
            }
        }
        s.counters["subject_rate"] = Median(libraryRate);
        s.counters["floor_rate"] = Median(floorRate);
        s.counters["rate_ratio"] = MedianOfRatios(libraryRate, floorRate);
        s.counters["subject_p99_ns"] = Median(libraryP99);
        s.counters["floor_p99_ns"] = Median(floorP99);
    });
}

}  // namespace

void RegisterManyReaders(const Plan& plan) {
    for (const std::size_t count : kReaderCounts) {
        const std::string name = "readers/" + std::to_string(count);
        RegisterTimedOnce(name, [plan, count](benchmark::State& state) { ManyReaders(state, plan, count); });
    }
}

}  // namespace ryx::bench
