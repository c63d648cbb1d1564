#include "camera/DriverLog.h"

#include "base/LogStream.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace fp {

namespace {

// The UTC time of day, without the date and without any time zone or daylight saving.
std::tm UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  return parts;
}

}  // namespace

void DriverLog::Write(const char* text) const {
  if (!_log->IsOpen()) return;
  const std::tm now = UtcNow();
  char stamp[40];
  const int n =
      std::snprintf(stamp, sizeof stamp, "%d:%d:%d: ", now.tm_hour, now.tm_min, now.tm_sec);
  _log->Write(std::string_view(stamp, static_cast<std::size_t>(n)), text);
}

void DriverLog::WriteErr(const char* text) const {
  if (!_log->IsOpen() && !_err_log->IsOpen()) return;
  const std::tm now = UtcNow();
  char line[160];
  std::snprintf(line, sizeof line, "%d:%d:%d: %s", now.tm_hour, now.tm_min, now.tm_sec, text);
  const std::size_t length = std::strlen(line);
  if (_log->IsOpen()) _log->Write(line, length);
  if (_err_log->IsOpen()) _err_log->Write(line, length);
}

}  // namespace fp
