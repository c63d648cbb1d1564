#pragma once

#include "framegrab/RunModel.h"

#include <cstddef>
#include <string>

namespace fp {

// The run as JSON text (the run's facts, the summary and the records), ending with a newline:
// what --json writes and /stats.json serves. The records are at most `count` from the
// `from`-th (0 for the first): all of them unless told otherwise.
std::string RunToJson(const RunModel& model, std::size_t from = 0,
                      std::size_t count = static_cast<std::size_t>(-1));

}  // namespace fp
