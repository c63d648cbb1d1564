#include "tools/camsim/StreamPlan.h"

#include "nudp/NudpProtocol.h"
#include "tools/camsim/SimulatorOptions.h"

#include <algorithm>
#include <random>

namespace fp {

namespace {

// A draw of true with probability `p`, from the top 53 bits of one generator output.
bool Chance(std::mt19937_64& rng, double p) {
  if (p <= 0.0) return false;
  return static_cast<double>(rng() >> 11) * 0x1.0p-53 < p;
}

}  // namespace

std::vector<int> PlanStream(const SimulatorOptions& options, std::uint32_t image_number) {
  std::mt19937_64 rng(options.seed * 0x9E3779B97F4A7C15u + image_number);

  std::vector<int> order;
  order.reserve(RAW_PACKETS_PER_IMAGE);
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
    if (!options.last_first || i != RAW_LAST_PACKET_INDEX) order.push_back(i);
  }

  if (options.reorder >= 2) {
    const std::size_t window = static_cast<std::size_t>(options.reorder);
    for (std::size_t start = 0; start < order.size(); start += window) {
      const std::size_t end = std::min(order.size(), start + window);
      // Fisher-Yates by hand: the generator's raw output is fixed by the standard, the
      // library's distributions are not.
      for (std::size_t i = end - 1; i > start; --i) {
        const std::size_t j = start + static_cast<std::size_t>(rng() % (i - start + 1));
        std::swap(order[i], order[j]);
      }
    }
  }
  // After the shuffle, so that it stays first.
  if (options.last_first) order.insert(order.begin(), RAW_LAST_PACKET_INDEX);

  if (options.stop_after >= 0 && static_cast<std::size_t>(options.stop_after) < order.size()) {
    order.resize(static_cast<std::size_t>(options.stop_after));
  }

  std::vector<int> drop = options.drop;
  std::sort(drop.begin(), drop.end());
  std::vector<int> forge = options.forge;
  std::sort(forge.begin(), forge.end());
  std::vector<int> plan;
  plan.reserve(order.size() * 2 + forge.size());
  for (int index : order) {
    if (std::binary_search(drop.begin(), drop.end(), index)) continue;
    if (Chance(rng, options.loss)) continue;
    if (std::binary_search(forge.begin(), forge.end(), index)) plan.push_back(ForgedEntry(index));
    plan.push_back(index);
    if (Chance(rng, options.duplicate)) plan.push_back(index);
  }
  return plan;
}

std::vector<std::size_t> ThinStream(const SimulatorOptions& options, std::uint32_t image_number,
                                    const std::vector<int>& indices) {
  std::mt19937_64 rng(options.seed * 0x9E3779B97F4A7C15u + image_number);
  std::vector<int> drop = options.drop;
  std::sort(drop.begin(), drop.end());
  std::vector<std::size_t> kept;
  kept.reserve(indices.size());
  for (std::size_t at = 0; at < indices.size(); ++at) {
    if (std::binary_search(drop.begin(), drop.end(), indices[at])) continue;
    if (Chance(rng, options.loss)) continue;
    kept.push_back(at);
  }
  return kept;
}

}  // namespace fp
