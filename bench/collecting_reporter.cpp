#include "collecting_reporter.h"

namespace ryx::bench {
namespace {

double NanosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kSecond:
            return 1e9;
        case benchmark::kMillisecond:
            return 1e6;
        case benchmark::kMicrosecond:
            return 1e3;
        default:
            return 1.0;
    }
}

}  // namespace

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration) continue;
        Result result;
        result.failed = run.error_occurred;
        result.error = run.error_message;
        result.realNs = run.GetAdjustedRealTime() * NanosecondsPer(run.time_unit);
        for (const auto& [name, counter] : run.counters) result.figures[name] = counter.value;
        (*results_)[run.run_name.function_name] = std::move(result);
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
}

}  // namespace ryx::bench
