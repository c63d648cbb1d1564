#pragma once

#include <chrono>
#include <string>

namespace fp {

// A moment on the wall clock, shown in UTC.
using UtcTime = std::chrono::system_clock::time_point;

// "2024-05-01T12:00:00.123Z": ISO 8601, UTC, to the millisecond.
std::string UtcText(UtcTime time);
// "2024:05:01 12:00:00": the form a TIFF DateTime tag takes, here in UTC.
std::string TiffUtc(UtcTime time);

}  // namespace fp
