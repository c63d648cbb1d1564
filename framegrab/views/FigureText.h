#pragma once

#include "framegrab/model/RunModel.h"

#include <string>
#include <vector>

namespace fp {

// One figure of a run in words, as the text summary and the pages show it.
struct FigureLine {
  const char* id;    // stable, for scripts: "images", "rate", ...
  const char* name;  // for a person: "images", "images per second", ...
  double value;      // the figure's main number
  std::string text;  // the figure in words
};

// The figures of `model` in the order they are shown; the wording of each lives here alone.
std::vector<FigureLine> FigureLines(const RunModel& model);

// "printf" into a std::string, cut at 512 characters.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fp
