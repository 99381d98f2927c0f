#include "paired_rounds.h"

#include <time.h>

#include <chrono>

#include "stats.h"

namespace ryx::bench {

double ThreadCpuNs() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

bool RunRound(std::size_t callsPerRound, const std::function<bool()>& call, SideFigures* side) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> latencies;
    latencies.reserve(callsPerRound);
    const double cpuStart = ThreadCpuNs();
    for (std::size_t i = 0; i < callsPerRound; ++i) {
        const auto start = Clock::now();
        if (!call()) return false;
        const auto end = Clock::now();
        latencies.push_back(
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()));
    }
    const double cpuEnd = ThreadCpuNs();
    side->roundMedianNs.push_back(Median(latencies));
    side->roundCpuNsPerCall.push_back(callsPerRound == 0 ? 0.0
                                                         : (cpuEnd - cpuStart) / static_cast<double>(callsPerRound));
    side->latencyNs.insert(side->latencyNs.end(), latencies.begin(), latencies.end());
    return true;
}

bool RunPairedRounds(std::size_t rounds, std::size_t callsPerRound, const std::function<bool()>& subject,
                     const std::function<bool()>& floor, PairedFigures* out,
                     const std::function<void()>& betweenRounds) {
    for (std::size_t round = 0; round < rounds; ++round) {
        const bool subjectFirst = round % 2 == 0;
        const auto& first = subjectFirst ? subject : floor;
        const auto& second = subjectFirst ? floor : subject;
        SideFigures* firstSide = subjectFirst ? &out->subject : &out->floor;
        SideFigures* secondSide = subjectFirst ? &out->floor : &out->subject;
        if (!RunRound(callsPerRound, first, firstSide) || !RunRound(callsPerRound, second, secondSide)) return false;
        if (betweenRounds) betweenRounds();
    }
    return true;
}

}  // namespace ryx::bench
