#pragma once

#include "framegrab/acquire/GrabSettings.h"

#include <cstdio>
#include <vector>

namespace fp {

enum class GrabParse { kRun, kDone, kUsageError };

// Parses the arguments after the program name. kDone means --help or --version answered on
// `out`; kUsageError means one line naming the bad flag and the usage line went to `err`.
GrabParse ParseGrabArgs(const std::vector<std::string>& args, GrabOptions& options, std::FILE* out,
                        std::FILE* err);

// A time as "90", "90s", "1.5m", "30m", "2h" or "3d", in seconds; false when it is not one.
bool ParseDuration(const std::string& text, double& seconds);

}  // namespace fp
