// Order statistics of timing samples, and the pairing of two measurements taken in alternating rounds. Pure.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ryx::bench {

// The value below which the fraction q (0..1) of the samples lie, by the nearest-rank rule on a sorted copy:
// q = 0.5 of {1, 2, 3, 4} is 2, q = 0.99 of 100 samples is the 99th smallest. 0 for no samples.
[[nodiscard]] double Quantile(std::span<const double> samples, double q);

// Quantile(samples, 0.5).
[[nodiscard]] double Median(std::span<const double> samples);

// The median of numerator[i] / denominator[i] over the rounds i where the denominator is positive: the ratio of two
// measurements taken side by side, robust against a round in which the whole machine was slow. 0 when no round
// counts. The spans must be of equal length.
[[nodiscard]] double MedianOfRatios(std::span<const double> numerator, std::span<const double> denominator);

}  // namespace ryx::bench
