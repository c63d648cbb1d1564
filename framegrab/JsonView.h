#pragma once

#include "framegrab/RunModel.h"

#include <string>

namespace fp {

// The run as JSON text (the run's facts, the summary and the records), ending with a newline:
// what --json writes and /stats.json serves.
std::string RunToJson(const RunModel& model);

}  // namespace fp
