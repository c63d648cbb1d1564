#pragma once

namespace fp {

class LogStream;

// The driver's two logs, as the driver's threads write into them: each line behind the UTC
// time "H:M:S: ". Holds the streams, does not own them; either may be closed, and what goes to
// a closed stream is dropped. Safe from any thread.
class DriverLog {
 public:
  DriverLog(LogStream& log, LogStream& err_log) : _log(&log), _err_log(&err_log) {}

  // `text` into the driver log.
  void Write(const char* text) const;
  // The same line into the driver log and into the error log; a line holds at most 159
  // characters, a longer text is cut there.
  void WriteErr(const char* text) const;

  LogStream& Log() const { return *_log; }
  LogStream& ErrLog() const { return *_err_log; }

 private:
  LogStream* _log;      // not owned
  LogStream* _err_log;  // not owned
};

}  // namespace fp
