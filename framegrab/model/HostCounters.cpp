#include "framegrab/model/HostCounters.h"

#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <vector>

namespace fp {

std::optional<std::int64_t> ReadRcvbufErrors(const std::string& path) {
  std::ifstream in(path);
  std::string names;
  std::string values;
  // Two lines start with "Udp:": the column names, then their values.
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Udp:")) continue;
    if (names.empty()) {
      names = line;
    } else {
      values = line;
      break;
    }
  }
  std::istringstream name_words(names);
  std::istringstream value_words(values);
  std::string name;
  std::string value;
  while (name_words >> name && value_words >> value) {
    if (name != "RcvbufErrors") continue;
    try {
      return std::stoll(value);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

ProcessorTime ReadProcessorTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return {ms(usage.ru_utime), ms(usage.ru_stime)};
}

}  // namespace fp
