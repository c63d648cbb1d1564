#pragma once

#include "framegrab/RunModel.h"

#include <chrono>
#include <cstdio>

namespace fp {

// Shows a run's progress: on a terminal one line redrawn in place, at most 10 times a second;
// elsewhere one plain line per image. For one thread.
class ProgressLine {
 public:
  ProgressLine(std::FILE* out, bool terminal, int requested_images);

  // After each image: its record (for the plain line) and the progress of the images filed so
  // far (for the redrawn one).
  void Update(const ImageRecord& record, const RunProgress& progress);
  // Ends the redrawn line, so that what follows starts on a line of its own.
  void Finish(const RunProgress& progress);

 private:
  void Draw(const RunProgress& progress);

  std::FILE* const _out;
  const bool _terminal;
  const int _requested;
  bool _drawn = false;
  std::chrono::steady_clock::time_point _last_draw{};
};

}  // namespace fp
