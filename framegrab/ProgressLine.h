#pragma once

#include "framegrab/GrabReport.h"

#include <chrono>
#include <cstdio>

namespace fp {

// Shows a run's progress: on a terminal one line redrawn in place, at most 10 times a second;
// elsewhere one plain line per image. For one thread.
class ProgressLine {
 public:
  // `duration_seconds` 0 means no time limit.
  ProgressLine(std::FILE* out, bool terminal, int requested_images, double duration_seconds);

  // After each image, with the records so far and the time since the first image started.
  void Update(const GrabReport& report, double elapsed_ms);
  // Ends the redrawn line, so that what follows starts on a line of its own.
  void Finish(const GrabReport& report, double elapsed_ms);

 private:
  void Draw(const GrabReport& report, double elapsed_ms);

  std::FILE* const _out;
  const bool _terminal;
  const int _requested;
  const double _duration_ms;
  bool _drawn = false;
  std::chrono::steady_clock::time_point _last_draw{};
};

}  // namespace fp
