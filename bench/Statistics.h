#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace fp::bench {

// The value below which `fraction` (0 to 1) of the samples lie, by nearest rank, the lower one
// where the rank falls between two; 0 for no samples.
inline double Quantile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0.0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1));
  return samples[rank];
}

// The lower median.
inline double Median(std::vector<double> samples) { return Quantile(std::move(samples), 0.5); }

}  // namespace fp::bench
