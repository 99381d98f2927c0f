// What a run measured, by benchmark name: the figures each benchmark reports as counters, and whether it failed.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace ryx::bench {

struct Result {
    bool failed = false;
    std::string error;
    double realNs = 0;                      // Google Benchmark's real time per iteration
    std::map<std::string, double> figures;  // the benchmark's counters

    // The figure named, or nullopt when the benchmark did not report it.
    [[nodiscard]] std::optional<double> Figure(const std::string& name) const {
        const auto it = figures.find(name);
        if (it == figures.end()) return std::nullopt;
        return it->second;
    }
};

using Results = std::map<std::string, Result>;

}  // namespace ryx::bench
