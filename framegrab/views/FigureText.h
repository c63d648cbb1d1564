#pragma once

#include "framegrab/model/RunModel.h"

#include <cstdint>
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

// A station's verdict in words, from each camera's model: "2 cameras: 127.0.0.1 exit status 0,
// 127.0.0.3 exit status 1 (images incomplete); the station's exit status 1, set by 127.0.0.3".
std::string StationVerdict(const std::vector<const RunModel*>& models);

// A count and its value, for a line of words.
struct ShownCount {
  CountInfo info;
  std::uint64_t value = 0;
};

// A list of counts in words, as their places say: the lead's "N label: " first, then the items
// and after them the tails, ", " between them, each followed by the parts after it in the list
// in parentheses; the counts shown apart are left out. `main` is the lead's value, or the first
// item's.
struct CountsWords {
  std::string text;
  std::uint64_t main = 0;
};
CountsWords CountsText(const std::vector<ShownCount>& counts);

// "printf" into a std::string, cut at 512 characters.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fp
