// framegrab's command line on arbitrary input, split at zero bytes into arguments: it never
// throws, and a command line it accepts has every option within its range.

#include "framegrab/GrabOptions.h"
#include "fuzz/ArgumentWords.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  const std::vector<std::string> args = fp::fuzz::ArgumentWords(data, size);
  fp::GrabOptions options;
  if (fp::ParseGrabArgs(args, options, sink, sink) != fp::GrabParse::kRun) return 0;
  const bool serve_ok =
      options.serve_address.empty() || (options.serve_port >= 1 && options.serve_port <= 65535);
  if (options.local.empty() || options.remote.empty() || options.images < 1 ||
      options.images > 100000000 || options.duration_seconds < 0 || options.save_every < 1 ||
      options.width <= 0 || fp::kImageSamples % options.width != 0 || !serve_ok ||
      (options.save_dir.empty() && options.save_every != 1)) {
    __builtin_trap();
  }
  return 0;
}
