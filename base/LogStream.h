#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace fp {

// An appending, buffered text log file, written from several threads.
//
// A stream is "open" once attached to a file and stays so until Close or destruction; writes to
// a stream that is not open do nothing. Each Write puts its text into the file whole, never
// interleaved with another thread's text. Text collects in a buffer of kBufferBytes that the
// stream owns and goes to the file when the buffer is full, and at the latest when the process
// ends normally, also when the stream is never destroyed. Every write is checked; the first that
// fails (a full disk, say) is reported once to the failure report, when one is set, and
// otherwise goes unreported. All operations are safe from any thread.
class LogStream {
 public:
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  // What Open does with a symbolic link at the file's own name: follow it, or fail.
  enum class AtLink { kFollow, kRefuse };
  // Called once, with the file's name and errno, for the first write that fails; on the thread
  // that wrote, under the stream's lock, so it must not write into this stream.
  using FailureReport = std::function<void(const std::string& file_name, int error)>;

  LogStream() = default;
  ~LogStream();
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  // Attaches the stream to `file_name`, opened for appending (created when missing). Returns
  // false when the stream is open already (nothing changes) or the file cannot be opened.
  bool Open(const std::string& file_name, AtLink at_link = AtLink::kFollow);
  // Before Open.
  void SetFailureReport(FailureReport report);
  bool IsOpen() const { return _open.load(std::memory_order_acquire); }

  void Write(const char* text);
  void Write(const char* text, std::size_t length);
  // Two pieces written as one text: nothing of another thread comes between them.
  void Write(std::string_view head, std::string_view text);

  // Pushes buffered text to the file.
  void Flush();
  // Flushes and detaches the file; the stream cannot be opened again.
  void Close();
  // Writes `text` as the file's last piece and closes the stream, in one step: whatever another
  // thread writes afterwards is dropped, so `text` stays the last.
  void CloseWith(const char* text);

 private:
  // Notes a failed write of the file, once.
  void Failed() REQUIRES(_mutex);

  // The file and its state, shared by every thread that writes.
  Mutex _mutex;
  std::FILE* _file GUARDED_BY(_mutex) = nullptr;
  std::string _file_name GUARDED_BY(_mutex);
  // The file's buffer, kBufferBytes; it outlives the file it serves. A stream never destroyed
  // keeps it to the process's end, when the C library writes what it holds.
  std::unique_ptr<char[]> _buffer GUARDED_BY(_mutex);
  bool _closed GUARDED_BY(_mutex) = false;
  bool _failed GUARDED_BY(_mutex) = false;
  FailureReport _report GUARDED_BY(_mutex);
  // Set once the file is attached; read without the lock to skip writes cheaply.
  std::atomic<bool> _open{false};
};

}  // namespace fp
