#include "api/PacketRanges.h"

#include <algorithm>

namespace fp::api {

using frameprobe::kPacketsPerImage;
using frameprobe::PacketRange;

std::vector<PacketRange> MissingRanges(const std::function<bool(int packet)>& missing) {
  std::vector<PacketRange> ranges;
  for (int n = 0; n < kPacketsPerImage; ++n) {
    if (!missing(n)) continue;
    if (!ranges.empty() && ranges.back().end == n) {
      ranges.back().end = n + 1;
    } else {
      ranges.push_back(PacketRange{n, n + 1});
    }
  }
  return ranges;
}

std::vector<PacketRange> WithoutFirst(const std::vector<PacketRange>& ranges, int count) {
  std::vector<PacketRange> left;
  for (const PacketRange& r : ranges) {
    const int dropped = std::clamp(count, 0, r.Count());
    count -= dropped;
    if (dropped < r.Count()) left.push_back(PacketRange{r.begin + dropped, r.end});
  }
  return left;
}

}  // namespace fp::api

int frameprobe::GrabInfo::MissingPackets() const {
  int sum = 0;
  for (const PacketRange& r : missing) sum += r.Count();
  return sum;
}
