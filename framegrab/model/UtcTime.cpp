#include "framegrab/model/UtcTime.h"

#include <cstdio>
#include <ctime>

namespace fp {

namespace {

std::tm Broken(UtcTime time) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return utc;
}

}  // namespace

std::string UtcText(UtcTime time) {
  const std::tm t = Broken(time);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      time - std::chrono::floor<std::chrono::seconds>(time))
                      .count();
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms));
  return text;
}

std::string TiffUtc(UtcTime time) {
  const std::tm t = Broken(time);
  char text[96];
  std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace fp
