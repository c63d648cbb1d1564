#include "framegrab/write/RecordLines.h"

#include "framegrab/write/OutputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace fp {

RecordLines::~RecordLines() {
  if (_fd >= 0) ::close(_fd);
}

bool RecordLines::Open(const std::string& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = ErrorText(errno);
    return false;
  }
  _fd = fd;
  _path = path;
  return true;
}

std::string RecordLines::Failure() const {
  MutexLock lock(_mutex);
  return _failure;
}

bool RecordLines::Append(const std::string& line) {
  MutexLock lock(_mutex);
  if (_fd < 0 || !_failure.empty()) return false;
  // One write: a process killed at any moment leaves the line whole or not there.
  ssize_t n;
  do {
    n = ::write(_fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) return true;
  _failure = ErrorText(n < 0 ? errno : ENOSPC);
  // A line cut short by a full disk is taken back, so the file ends with a whole line.
  if (n > 0) {
    const off_t end = ::lseek(_fd, 0, SEEK_CUR);
    if (end >= n && ::ftruncate(_fd, end - n) != 0) {
      // Nothing more to do: the failure is reported already.
    }
  }
  return false;
}

}  // namespace fp
