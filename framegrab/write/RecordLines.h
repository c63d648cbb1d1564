#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include <string>

namespace fp {

// The --records file: JSON Lines appended as the run goes, each line in one write of its own,
// so that a process killed at any moment leaves every line it wrote whole and nothing after it.
// The file is opened for appending (an earlier run's lines stay), never through a link planted
// at its name. A failed write is reported once, on the caller's error stream, and no more lines
// are written; a line the disk had room for only part of is taken back. Open before the threads
// start; Append and Failure from any thread (a station's cameras share one file).
class RecordLines {
 public:
  RecordLines() = default;
  ~RecordLines();
  RecordLines(const RecordLines&) = delete;
  RecordLines& operator=(const RecordLines&) = delete;

  // False with errno's text in `why` when the file cannot be opened.
  bool Open(const std::string& path, std::string& why);
  // Appends `line` (one JSON object and its newline). False when it (or an earlier one) failed.
  bool Append(const std::string& line) EXCLUDES(_mutex);
  // errno's text of the first failed write, "" when none.
  std::string Failure() const EXCLUDES(_mutex);
  const std::string& Path() const { return _path; }

 private:
  int _fd = -1;
  std::string _path;
  mutable Mutex _mutex;  // one line written at a time, and the failure
  std::string _failure GUARDED_BY(_mutex);
};

}  // namespace fp
