#pragma once

#include "framegrab/acquire/GrabSettings.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace fp {

// framegrab with several cameras, a test station: every camera of `options.cameras` taken at
// once, each with its own driver, grab thread, image pool and records, so that a slow or lost
// camera never holds up another (each rides out its own outages). One run's outputs for all:
// the summary with a block per camera and the station's verdict, one JSON (StationToJson), one
// record file whose every line names its camera, pictures and driver logs in a folder per camera
// (DIR/<camera>/), the page and the report with a panel per camera. Returns the worst of the
// cameras' exit statuses (WorstExitStatus), 2 for an output that cannot be made (nothing sent).
int RunStation(const GrabOptions& options, const std::vector<std::string>& args, std::FILE* out,
               std::FILE* err, const std::atomic<int>* stop_signal);

// What this machine can serve, said before a station's run: a line for each limit that
// `cameras` cameras go past (more cameras than processor cores, a kernel receive buffer cap
// below what one image needs), empty when none. `cores` and `rmem_max` as the machine has them
// (rmem_max -1 when unknown).
std::vector<std::string> StationWarnings(std::size_t cameras, unsigned cores, long long rmem_max);

}  // namespace fp
