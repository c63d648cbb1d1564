#include "base/LogStream.h"

#include <cstring>

namespace fp {

// A stdio stream is flushed by the C library when the process exits normally, which is what
// keeps the text of a stream whose owner is never destroyed.
bool LogStream::Open(const std::string& file_name) {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_file != nullptr || _closed) return false;
  std::FILE* file = std::fopen(file_name.c_str(), "a");
  if (file == nullptr) return false;
  // Without a buffer of its own the C library takes the file system's block size (4 KiB)
  // whatever size is asked for.
  _buffer = std::make_unique<char[]>(kBufferBytes);
  std::setvbuf(file, _buffer.get(), _IOFBF, kBufferBytes);
  _file = file;
  _open.store(true, std::memory_order_release);
  return true;
}

LogStream::~LogStream() { Close(); }

void LogStream::Write(const char* text) { Write(text, std::strlen(text)); }

void LogStream::Write(const char* text, std::size_t length) {
  if (!IsOpen() || length == 0) return;
  std::lock_guard<std::mutex> lock(_mutex);
  if (_file != nullptr) std::fwrite(text, 1, length, _file);
}

void LogStream::Write(std::string_view head, std::string_view text) {
  if (!IsOpen()) return;
  std::lock_guard<std::mutex> lock(_mutex);
  if (_file == nullptr) return;
  std::fwrite(head.data(), 1, head.size(), _file);
  std::fwrite(text.data(), 1, text.size(), _file);
}

void LogStream::Flush() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_file != nullptr) std::fflush(_file);
}

void LogStream::CloseWith(const char* text) {
  std::lock_guard<std::mutex> lock(_mutex);
  _open.store(false, std::memory_order_release);
  if (_file != nullptr) {
    std::fwrite(text, 1, std::strlen(text), _file);
    std::fclose(_file);
    _file = nullptr;
    _closed = true;
  }
}

void LogStream::Close() {
  std::lock_guard<std::mutex> lock(_mutex);
  _open.store(false, std::memory_order_release);
  if (_file != nullptr) {
    std::fclose(_file);
    _file = nullptr;
    _closed = true;
  }
}

}  // namespace fp
