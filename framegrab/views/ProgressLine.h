#pragma once

#include "framegrab/model/RunModel.h"

#include <chrono>
#include <cstdio>

namespace fp {

// Shows a run's progress: on a terminal one line redrawn in place, at most 10 times a second;
// elsewhere a plain line of the run so far every `period` (a log of a long run stays small),
// or one per image when `period` is 0. For one thread.
class ProgressLine {
 public:
  ProgressLine(std::FILE* out, bool terminal, int requested_images,
               std::chrono::milliseconds period = std::chrono::milliseconds(0));

  // After each image: its record (for the plain line) and the progress of the images filed so
  // far (for the redrawn one).
  void Update(const ImageRecord& record, const RunProgress& progress);
  // Ends the redrawn line, so that what follows starts on a line of its own.
  void Finish(const RunProgress& progress);

 private:
  void Draw(const RunProgress& progress);
  void PrintRun(const RunProgress& progress);

  std::FILE* const _out;
  const bool _terminal;
  const int _requested;
  const std::chrono::milliseconds _period;
  bool _drawn = false;
  std::chrono::steady_clock::time_point _last_draw = std::chrono::steady_clock::now();
};

}  // namespace fp
