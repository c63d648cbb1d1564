#pragma once

#include "framegrab/model/Preview.h"
#include "framegrab/model/RunModel.h"

#include <cstddef>
#include <string>
#include <vector>

namespace fp {

// The live page as the server sends it: the frame that the events from /events fill in. With
// more than one camera, a station's: its verdict at the top, then a panel for each camera whose
// parts' ids end in -1, -2, ... (#title-2, #figures-2, ...).
std::string LivePageHtml(std::size_t cameras = 1);

// One event for the live page, JSON: the state line, the figures table, the histogram of the
// newest image, the charts and the diagnoses as HTML, and which preview to show (null before
// the first) with its note. `preview` may be null.
std::string LiveEventJson(const RunModel& model, const Preview* preview);

// One event for a station's live page, JSON: {"station": the verdict as HTML, "exit_status":
// WorstExitStatus, "cameras": [for each camera what LiveEventJson holds]}. `previews` goes with
// `models`, each may be null.
std::string StationEventJson(const std::vector<const RunModel*>& models,
                             const std::vector<const Preview*>& previews);

// The report of a whole run as one HTML file that needs nothing else to open: the command line,
// the figures, the diagnoses, the charts and the last image's preview (embedded; may be null)
// and histogram.
std::string ReportHtml(const RunModel& model, const Preview* preview,
                       const std::string& command_line);

// The report of a station in one HTML file: the command line and the verdict at the top, then
// for each camera what ReportHtml shows of a run, its parts' ids ending in -1, -2, ...
// `previews` goes with `models`, each may be null.
std::string StationReportHtml(const std::vector<const RunModel*>& models,
                              const std::vector<const Preview*>& previews,
                              const std::string& command_line);

}  // namespace fp
