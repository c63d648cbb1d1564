#pragma once

#include "framegrab/acquire/GrabSettings.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace fp {

// framegrab --from-capture: reads `options.capture_path` instead of a camera and gives each
// camera in it (each NUDP conversation) what a camera's run gives: the summary and diagnoses on
// `out` (`err` when the JSON goes to standard output), the JSON, the record lines, the pictures
// and the report, its images rebuilt as the driver built them. The file is read once to check
// it and list its cameras before anything is written, then again to rebuild the images. With
// several cameras each one's files carry its address: run-10.0.0.2.json, DIR/10.0.0.2/. Returns
// the exit status: 2 for a capture that cannot be used (nothing written), else the worst of the
// cameras'.
int RunFromCapture(const GrabOptions& options, const std::vector<std::string>& args, std::FILE* out,
                   std::FILE* err, const std::atomic<int>* stop_signal);

}  // namespace fp
