#pragma once

#include "framegrab/model/RunModel.h"

#include <cstddef>
#include <string>

namespace fp {

// The run as JSON text (the run's facts, the summary and the records), ending with a newline:
// what --json writes and /stats.json serves. The records are at most `count` from the
// `from`-th (0 for the first): all of them unless told otherwise.
std::string RunToJson(const RunModel& model, std::size_t from = 0,
                      std::size_t count = static_cast<std::size_t>(-1));

// The lines --records appends, each one JSON object and a newline, each naming its camera (a
// station's cameras share the file): the run's start (once the
// camera has answered: its start time and identification), an image as it ends (what the
// grabber knows of it, without the samples' figures, which come later), an outage as it ends
// (or as the run ends in it), and the run's end.
std::string RunStartLine(const RunFacts& facts, const std::string& command_line);
std::string ImageLine(const ImageRecord& record, const std::string& camera);
std::string OutageLine(const Outage& outage, const std::string& camera);
std::string RunEndLine(const RunModel& model);

}  // namespace fp
