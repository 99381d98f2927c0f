// Shows Google Benchmark's usual report (on the stream given) and keeps every run's figures for the table.
#pragma once

#include <vector>

#include <benchmark/benchmark.h>

#include "results.h"

namespace ryx::bench {

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    // results: filled as the runs are reported; borrowed.
    explicit CollectingReporter(Results* results) : benchmark::ConsoleReporter(OO_Tabular), results_(results) {}

    void ReportRuns(const std::vector<Run>& runs) override;

private:
    Results* results_;
};

}  // namespace ryx::bench
