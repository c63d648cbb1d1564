#pragma once

// framegrab taking several cameras at once (a station), against camsims as processes.

#include <string>

namespace fp::bench {

// For n = 1 to `cameras`: n fresh camsims at `rate_mbit` Mbit/s each (on 127.22.110.1,
// 127.22.111.1, ...) and one framegrab taking `images` images of each. Prints each camera's
// images per second against its camsim's line rate, the processor time framegrab spends per
// image and per camera, its ratio to that of one camera, and the load beside it: the load
// average as each run started and the camsims' own processor time, in cores. Works in `dir`.
// False when a run failed (said on standard error) or the ratio at some n is above
// `ratio_target`.
bool RunStationBench(int cameras, int images, int rate_mbit, double ratio_target,
                     const std::string& dir);

}  // namespace fp::bench
