// The short exchange: RYX_ExchangeApdu with a 5-byte command and a 2-byte response against the floor moving the
// same frames, in alternating rounds on one simulated reader.
#include <vector>

#include "bench_card.h"
#include "bench_plan.h"
#include "bench_reader.h"
#include "paired_rounds.h"
#include "stats.h"

namespace ryx::bench {
namespace {

void ShortExchange(benchmark::State& state, const Plan& plan) {
    Measure(state, [&](benchmark::State& s) {
        BenchReader reader;
        ShortExchangePair exchange(reader);
        auto library = [&] { return exchange.Library(); };
        auto floor = [&] { return exchange.Floor(); };
        // A first exchange of each warms caches and the allocator; it is not counted.
        Require(library() && floor(), "the first exchanges fail");
        PairedFigures figures;
        const bool ok = RunPairedRounds(plan.shortRounds, plan.shortCalls, library, floor, &figures,
                                        [&] { reader.Sim().ClearRecords(); });
        Require(ok, "an exchange failed");
        const SideFigures& l = figures.subject;
        const SideFigures& f = figures.floor;
        s.counters["rounds"] = static_cast<double>(plan.shortRounds);
        s.counters["subject_median_ns"] = Median(l.roundMedianNs);
        s.counters["floor_median_ns"] = Median(f.roundMedianNs);
        s.counters["median_ratio"] = MedianOfRatios(l.roundMedianNs, f.roundMedianNs);
        s.counters["subject_p99_ns"] = Quantile(l.latencyNs, 0.99);
        s.counters["floor_p99_ns"] = Quantile(f.latencyNs, 0.99);
        s.counters["subject_cpu_ns"] = Median(l.roundCpuNsPerCall);
        s.counters["floor_cpu_ns"] = Median(f.roundCpuNsPerCall);
        s.counters["cpu_ratio"] = MedianOfRatios(l.roundCpuNsPerCall, f.roundCpuNsPerCall);
    });
}

}  // namespace

void RegisterShortExchange(const Plan& plan) {
    RegisterTimedOnce("short_exchange", [plan](benchmark::State& state) { ShortExchange(state, plan); });
}

}  // namespace ryx::bench
