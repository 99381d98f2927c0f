// Opening a reader: one that answers at the first rate, against one short exchange; and the full scan of the ten
// rates for a reader that answers only at the last, which the link time-outs bound.
#include <chrono>
#include <vector>

#include <ryx.h>

#include "bench_card.h"
#include "bench_plan.h"
#include "bench_reader.h"
#include "paired_rounds.h"
#include "sim/simulator.h"
#include "stats.h"

namespace ryx::bench {
namespace {

using Clock = std::chrono::steady_clock;

double NsSince(Clock::time_point start) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

std::unique_ptr<sim::Simulator> StartSimulator(std::uint32_t rate) {
    sim::Config config;
    config.rate = rate;
    auto simulator = std::make_unique<sim::Simulator>(config);
    Require(simulator->Start(), "the simulator does not start");
    simulator->SetApduHandler([](std::uint8_t, std::span<const std::uint8_t> apdu) { return BenchCardResponse(apdu); });
    return simulator;
}

void OpenFirstRate(benchmark::State& state, const Plan& plan) {
    Measure(state, [&](benchmark::State& s) {
        auto simulator = StartSimulator(9600);
        const std::vector<std::uint8_t> command = BenchCommand(kShortCommandLength);
        std::vector<std::uint8_t> response(kResponseBufferSize);
        std::vector<double> opens;
        std::vector<double> exchanges;
        for (std::size_t round = 0; round < plan.openRounds; ++round) {
            RYX_HANDLE handle = nullptr;
            const auto start = Clock::now();
            const std::uint32_t opened = RYX_OpenA(simulator->SlavePath().c_str(), &handle);
            opens.push_back(NsSince(start));
            Require(opened == RYX_SUCCESS, "RYX_OpenA fails");
            std::uint8_t atr[64];
            std::uint32_t atrLength = sizeof atr;
            bool ok = RYX_PowerOnIcc(handle, 0, atr, &atrLength) == RYX_SUCCESS;
            // The median of a few exchanges on the same handle: the unit the open is counted in.
            SideFigures side;
            ok = ok &&
                 RunRound(
                     9,
                     [&] {
                         auto length = static_cast<std::uint32_t>(response.size());
                         return RYX_ExchangeApdu(handle, 0, command.data(), static_cast<std::uint32_t>(command.size()),
                                                 response.data(), &length) == RYX_SUCCESS;
                     },
                     &side);
            RYX_Close(handle);
            simulator->ClearRecords();
            Require(ok, "an exchange failed");
            exchanges.push_back(side.roundMedianNs.front());
        }
        s.counters["open_ns"] = Median(opens);
        s.counters["exchange_ns"] = Median(exchanges);
        s.counters["ratio"] = MedianOfRatios(opens, exchanges);
    });
}

void TenRateScan(benchmark::State& state) {
    Measure(state, [&](benchmark::State& s) {
        auto simulator = StartSimulator(500000);
        RYX_HANDLE handle = nullptr;
        const auto start = Clock::now();
        const std::uint32_t opened = RYX_OpenA(simulator->SlavePath().c_str(), &handle);
        const double ns = NsSince(start);
        Require(opened == RYX_SUCCESS, "RYX_OpenA fails");
        std::uint32_t rate = 0;
        const bool atLastRate = RYX_GetBaudRate(handle, &rate) == RYX_SUCCESS && rate == 500000;
        RYX_Close(handle);
        Require(atLastRate, "the reader was not found at the last rate");
        s.counters["scan_ns"] = ns;
        // Nine rates go unanswered before the tenth answers in a few milliseconds.
        s.counters["per_rate_ns"] = ns / 9.0;
    });
}

}  // namespace

void RegisterOpen(const Plan& plan) {
    RegisterTimedOnce("open/first_rate", [plan](benchmark::State& state) { OpenFirstRate(state, plan); });
    RegisterTimedOnce("open/ten_rate_scan", [](benchmark::State& state) { TenRateScan(state); });
}

}  // namespace ryx::bench
