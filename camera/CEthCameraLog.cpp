// The driver log and the error log of CEthCamera.

#include "base/LogStream.h"
#include "camera/CEthCamera.h"
#include "camera/DriverLog.h"
#include "nudp/NudpSocket.h"

#include <cstdarg>
#include <cstdio>

namespace fp {

namespace {

inline constexpr const char* kStartLogging = "START LOGGING.\n\n";

}  // namespace

bool CEthCamera::OpenLog(const std::string& file_name, LogStream::AtLink at_link) {
  if (_log->IsOpen() || !_log->Open(file_name, at_link)) return false;
  IdleNudp().SetLog(_log.get());
  _log->Write(kStartLogging);
  return true;
}

bool CEthCamera::OpenErrLog(const std::string& file_name, LogStream::AtLink at_link) {
  if (_err_log->IsOpen() || !_err_log->Open(file_name, at_link)) return false;
  IdleNudp().SetErrLog(_err_log.get());
  _err_log->Write(kStartLogging);
  return true;
}

void CEthCamera::SetLogFailureReport(const LogStream::FailureReport& report) {
  _log->SetFailureReport(report);
  _err_log->SetFailureReport(report);
}

void CEthCamera::CloseLogsWith(const char* line) {
  _log->CloseWith(line);
  _err_log->CloseWith(line);
}

void CEthCamera::WriteLog(const char* text) { DriverLog(*_log, *_err_log).Write(text); }

void CEthCamera::WriteErrLog(const char* text) {
  {
    MutexLock lock(_last_error_mutex);
    _last_error = text;
  }
  DriverLog(*_log, *_err_log).WriteErr(text);
}

void CEthCamera::ClearLastError() {
  MutexLock lock(_last_error_mutex);
  _last_error.clear();
}

std::string CEthCamera::LastError() const {
  MutexLock lock(_last_error_mutex);
  return _last_error;
}

void CEthCamera::LogFormatted(bool as_error, const char* format, ...) {
  // Nothing is formatted for a log line that goes nowhere: recovery sends one command per
  // packet. Errors are formatted all the same, for LastError.
  if (!as_error && !_log->IsOpen()) return;
  char text[128];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (as_error) {
    WriteErrLog(text);
  } else {
    WriteLog(text);
  }
}

}  // namespace fp
