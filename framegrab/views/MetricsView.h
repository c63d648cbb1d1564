#pragma once

#include "framegrab/model/RunModel.h"

#include <string>
#include <vector>

namespace fp {

// The run in the Prometheus text exposition format (version 0.0.4), for a lab's monitoring to
// scrape: counters end in _total, units are in the names (seconds, bytes, packets), each family
// has its HELP and TYPE lines, and every sample carries the camera's address as the label
// `camera`. The same figures as RunToJson, times in seconds where the JSON has milliseconds.
std::string RunToMetrics(const RunModel& model);

// A station of cameras in the same format: the station's cameras and exit status
// (WorstExitStatus) as gauges without labels, then every family of RunToMetrics once, its HELP
// and TYPE lines followed by the samples of each camera that has it, told apart by `camera`.
std::string StationToMetrics(const std::vector<const RunModel*>& models);

// The content type of that format.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace fp
