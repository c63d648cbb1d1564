#pragma once

#include "framegrab/model/RunModel.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fp {

// The run as JSON text (the run's facts, the summary and the records), ending with a newline:
// what --json writes and /stats.json serves. The records are at most `count` from the
// `from`-th (0 for the first): all of them unless told otherwise.
std::string RunToJson(const RunModel& model, std::size_t from = 0,
                      std::size_t count = static_cast<std::size_t>(-1));

// A station of cameras as JSON text, ending with a newline: {"program", "version", "station":
// {"cameras": N, "running": the cameras still taking images, "exit_status": WorstExitStatus,
// "exit_status_camera": the camera (1, 2, ...) that sets it, null while it is 0}, "cameras":
// [each camera's RunToJson object, its records paged by `from` and `count` as there]}.
std::string StationToJson(const std::vector<const RunModel*>& models, std::size_t from = 0,
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
