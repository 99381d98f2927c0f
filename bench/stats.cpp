#include "stats.h"

#include <algorithm>
#include <cmath>

namespace ryx::bench {

double Quantile(std::span<const double> samples, double q) {
    if (samples.empty()) return 0.0;
    std::vector<double> sorted(samples.begin(), samples.end());
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank: the smallest sample with at least q of all samples at or below it.
    const double rank = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(sorted.size()));
    const std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

double Median(std::span<const double> samples) {
    return Quantile(samples, 0.5);
}

double MedianOfRatios(std::span<const double> numerator, std::span<const double> denominator) {
    std::vector<double> ratios;
    const std::size_t rounds = std::min(numerator.size(), denominator.size());
    for (std::size_t i = 0; i < rounds; ++i) {
        if (denominator[i] > 0.0) ratios.push_back(numerator[i] / denominator[i]);
    }
    return Median(ratios);
}

}  // namespace ryx::bench
