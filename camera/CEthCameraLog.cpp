// The driver log and the error log of CEthCamera.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

#include "base/LogStream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fp {

namespace {

inline constexpr const char* kStartLogging = "START LOGGING.\n\n";

// The UTC time of day, without the date and without any time zone or daylight saving.
std::tm UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  return parts;
}

}  // namespace

bool CEthCamera::OpenLog(const std::string& file_name) {
  if (_log->IsOpen() || !_log->Open(file_name)) return false;
  _nudp->SetLog(_log.get());
  _log->Write(kStartLogging);
  return true;
}

bool CEthCamera::OpenErrLog(const std::string& file_name) {
  if (_err_log->IsOpen() || !_err_log->Open(file_name)) return false;
  _nudp->SetErrLog(_err_log.get());
  _err_log->Write(kStartLogging);
  return true;
}

void CEthCamera::CloseLogsWith(const char* line) {
  _log->CloseWith(line);
  _err_log->CloseWith(line);
}

void CEthCamera::WriteLog(const char* text) {
  if (!_log->IsOpen()) return;
  const std::tm now = UtcNow();
  char stamp[40];
  const int n =
      std::snprintf(stamp, sizeof stamp, "%d:%d:%d: ", now.tm_hour, now.tm_min, now.tm_sec);
  _log->Write(std::string_view(stamp, static_cast<std::size_t>(n)), text);
}

void CEthCamera::WriteErrLog(const char* text) {
  if (!_log->IsOpen() && !_err_log->IsOpen()) return;
  const std::tm now = UtcNow();
  // A line holds at most 159 characters; a longer text is cut there.
  char line[160];
  std::snprintf(line, sizeof line, "%d:%d:%d: %s", now.tm_hour, now.tm_min, now.tm_sec, text);
  const std::size_t length = std::strlen(line);
  if (_log->IsOpen()) _log->Write(line, length);
  if (_err_log->IsOpen()) _err_log->Write(line, length);
}

void CEthCamera::LogFormatted(bool as_error, const char* format, ...) {
  // Nothing is formatted for logs that are not open: recovery sends one command per packet.
  if (!_log->IsOpen() && !(as_error && _err_log->IsOpen())) return;
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
