#pragma once

#include "framegrab/RunModel.h"

#include <string>

namespace fp {

// The run as JSON text (the run's facts, the summary and the records), ending with a newline:
// what --json writes and /stats.json serves.
std::string RunToJson(const RunModel& model);

// One outage as a JSON object on one line, without its end of line: the form it has in the
// "outages" of RunToJson.
std::string OutageToJson(const Outage& outage);

}  // namespace fp
