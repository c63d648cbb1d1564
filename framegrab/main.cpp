// framegrab: takes many RAW images from a NUDP camera and reports how they arrived.
#include "framegrab/Framegrab.h"
#include "framegrab/StopSignals.h"

#include <cstdio>

int main(int argc, char** argv) {
  // Before any other thread starts.
  fp::StopSignals signals;
  const std::vector<std::string> args(argv + 1, argv + argc);
  return fp::RunFramegrab(args, stdout, stderr, &signals.Received());
}
