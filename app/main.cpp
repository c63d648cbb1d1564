#include "app/AcquisitionSequence.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: frameprobe local_ip remote_ip\n\n");
    return 0;
  }
  return fp::RunAcquisitionSequence(argv[1], argv[2], fp::SequenceSetup{});
}
