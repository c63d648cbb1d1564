#pragma once

#include "frameprobe/Camera.h"

#include <functional>
#include <vector>

namespace fp::api {

// The packets 0 to frameprobe::kPacketsPerImage - 1 for which `missing` is true, as ascending
// ranges.
std::vector<frameprobe::PacketRange> MissingRanges(const std::function<bool(int packet)>& missing);

// `ranges` without their first `count` packets: what is left when recovery, which fetches in
// ascending order and stops at its first failure, fetched `count` of them.
std::vector<frameprobe::PacketRange> WithoutFirst(
    const std::vector<frameprobe::PacketRange>& ranges, int count);

}  // namespace fp::api
