// The large exchange: a 65,535-byte command and a 65,536-byte response chained at the reader's block size, against
// the floor moving the same frames, in alternating rounds.
#include <string>
#include <vector>

#include "bench_card.h"
#include "bench_plan.h"
#include "bench_reader.h"
#include "paired_rounds.h"
#include "stats.h"

namespace ryx::bench {
namespace {

void LargeExchange(benchmark::State& state, const Plan& plan, sim::Model model) {
    Measure(state, [&](benchmark::State& s) {
        sim::Config config;
        config.model = model;
        BenchReader reader(config);
        const std::vector<std::uint8_t> command = BenchCommand(kLargeCommandLength);
        const std::vector<Frame> frames = reader.FloorFrames(command);
        std::vector<std::uint8_t> response(kResponseBufferSize);
        auto library = [&] { return reader.LibraryExchange(command, response, kLargeResponseLength); };
        auto floor = [&] { return reader.FloorExchange(frames, response, kLargeResponseLength); };
        Require(library() && floor(), "the first exchanges fail");
        PairedFigures figures;
        const bool ok =
            RunPairedRounds(plan.largeRounds, 1, library, floor, &figures, [&] { reader.Sim().ClearRecords(); });
        Require(ok, "an exchange failed");
        const double apduBytes = static_cast<double>(kLargeCommandLength + kLargeResponseLength);
        const double libraryNs = Median(figures.subject.roundMedianNs);
        const double floorNs = Median(figures.floor.roundMedianNs);
        s.counters["subject_ns"] = libraryNs;
        s.counters["floor_ns"] = floorNs;
        s.counters["subject_mbps"] = apduBytes / libraryNs * 1e3;
        s.counters["floor_mbps"] = apduBytes / floorNs * 1e3;
        // Throughput is the inverse of time: the floor's time over the library's, round by round.
        s.counters["throughput_ratio"] = MedianOfRatios(figures.floor.roundMedianNs, figures.subject.roundMedianNs);
        s.counters["block_size"] = reader.Sim().BlockSize();
    });
}

}  // namespace

void RegisterLargeExchange(const Plan& plan) {
    const struct {
        const char* name;
        sim::Model model;
    } cases[] = {{"large_exchange/261", sim::Model::KT4470RS}, {"large_exchange/506", sim::Model::KT6630RS}};
    for (const auto& c : cases) {
        const sim::Model model = c.model;
        RegisterTimedOnce(c.name, [plan, model](benchmark::State& state) { LargeExchange(state, plan, model); });
    }
}

}  // namespace ryx::bench
