#pragma once

#include "framegrab/model/RunModel.h"

#include <string>

namespace fp {

// The summary for a person: one line per figure ("name: words"), the diagnoses last, each as
// "diagnosis: ...".
std::string FormatSummary(const RunModel& model);

}  // namespace fp
