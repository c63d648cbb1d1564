#pragma once

#include "framegrab/GrabReport.h"
#include "framegrab/Preview.h"

#include <string>

namespace fp {

// The live page as the server sends it: the frame that the events from /events fill in.
std::string LivePageHtml();

// One event for the live page, JSON: the state line, the figures table, the charts and the
// diagnoses as HTML, and which preview to show (null before the first) with its note.
// `report` is summarised; `preview` may be null.
std::string LiveEventJson(const GrabReport& report, bool running, const Preview* preview);

// The report of a whole run as one HTML file that needs nothing else to open: the command line,
// the figures, the diagnoses, the charts and the last image's preview (embedded; may be null).
std::string ReportHtml(const GrabReport& report, const Preview* preview,
                       const std::string& command_line);

}  // namespace fp
