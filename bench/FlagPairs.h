#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace fp::bench {

// Reads a program's "--flag value" pairs, handing each to `take`, which returns false for a
// flag it does not know. "--help" prints `usage` to standard output and ends the program with
// 0; an unknown flag, or a flag without its value, prints one line naming it and ends with 2.
// Returns -1 when every pair was taken, otherwise the exit status to end with.
inline int ReadFlagPairs(int argc, char** argv, const char* program, const char* usage,
                         const std::function<bool(const std::string&, const char*)>& take) {
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--help") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", program, argv[i]);
      return 2;
    }
    if (!take(flag, argv[i + 1])) {
      std::fprintf(stderr, "%s: unknown flag %s\n", program, argv[i]);
      return 2;
    }
  }
  return -1;
}

}  // namespace fp::bench
