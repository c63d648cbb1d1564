#pragma once

#include "framegrab/model/Preview.h"
#include "framegrab/model/RunModel.h"

#include <string>

namespace fp {

// The live page as the server sends it: the frame that the events from /events fill in.
std::string LivePageHtml();

// One event for the live page, JSON: the state line, the figures table, the histogram of the
// newest image, the charts and the diagnoses as HTML, and which preview to show (null before
// the first) with its note. `preview` may be null.
std::string LiveEventJson(const RunModel& model, const Preview* preview);

// The report of a whole run as one HTML file that needs nothing else to open: the command line,
// the figures, the diagnoses, the charts and the last image's preview (embedded; may be null)
// and histogram.
std::string ReportHtml(const RunModel& model, const Preview* preview,
                       const std::string& command_line);

}  // namespace fp
