#include "app/AcquisitionSequence.h"
#include "app/InterruptGuard.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: frameprobe local_ip remote_ip\n\n");
    return 0;
  }
  // Before the camera starts any thread, so that every thread leaves the signals to it.
  fp::InterruptGuard interrupt;
  fp::SequenceSetup setup;
  setup.on_camera = [&interrupt](fp::CEthCamera* camera) {
    if (camera != nullptr) {
      interrupt.Watch(camera);
    } else {
      interrupt.Unwatch();
    }
  };
  const int status = fp::RunAcquisitionSequence(argv[1], argv[2], setup);
  // A signal that came while the camera closed its logs itself ends the run all the same.
  return interrupt.Status() != 0 ? interrupt.Status() : status;
}
