#include "base/LogStream.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fp {

// A stdio stream is flushed by the C library when the process exits normally, which is what
// keeps the text of a stream whose owner is never destroyed.
bool LogStream::Open(const std::string& file_name, AtLink at_link) {
  MutexLock lock(_mutex);
  if (_file != nullptr || _closed) return false;
  const int flags =
      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (at_link == AtLink::kRefuse ? O_NOFOLLOW : 0);
  const int fd = ::open(file_name.c_str(), flags, 0666);
  if (fd < 0) return false;
  std::FILE* file = ::fdopen(fd, "a");
  if (file == nullptr) {
    ::close(fd);
    return false;
  }
  _file_name = file_name;
  // Without a buffer of its own the C library takes the file system's block size (4 KiB)
  // whatever size is asked for.
  _buffer = std::make_unique<char[]>(kBufferBytes);
  std::setvbuf(file, _buffer.get(), _IOFBF, kBufferBytes);
  _file = file;
  _open.store(true, std::memory_order_release);
  return true;
}

LogStream::~LogStream() { Close(); }

void LogStream::SetFailureReport(FailureReport report) {
  MutexLock lock(_mutex);
  _report = std::move(report);
}

void LogStream::Failed() {
  const int error = errno != 0 ? errno : EIO;
  if (_failed) return;
  _failed = true;
  if (_report) _report(_file_name, error);
}

void LogStream::Write(const char* text) { Write(text, std::strlen(text)); }

void LogStream::Write(const char* text, std::size_t length) {
  if (!IsOpen() || length == 0) return;
  MutexLock lock(_mutex);
  if (_file != nullptr && std::fwrite(text, 1, length, _file) != length) Failed();
}

void LogStream::Write(std::string_view head, std::string_view text) {
  if (!IsOpen()) return;
  MutexLock lock(_mutex);
  if (_file == nullptr) return;
  if (std::fwrite(head.data(), 1, head.size(), _file) != head.size() ||
      std::fwrite(text.data(), 1, text.size(), _file) != text.size()) {
    Failed();
  }
}

void LogStream::Flush() {
  MutexLock lock(_mutex);
  if (_file != nullptr && std::fflush(_file) != 0) Failed();
}

void LogStream::CloseWith(const char* text) {
  MutexLock lock(_mutex);
  _open.store(false, std::memory_order_release);
  if (_file != nullptr) {
    const std::size_t length = std::strlen(text);
    if (std::fwrite(text, 1, length, _file) != length) Failed();
    if (std::fclose(_file) != 0) Failed();
    _file = nullptr;
    _closed = true;
  }
}

void LogStream::Close() {
  MutexLock lock(_mutex);
  _open.store(false, std::memory_order_release);
  if (_file != nullptr) {
    if (std::fclose(_file) != 0) Failed();
    _file = nullptr;
    _closed = true;
  }
}

}  // namespace fp
