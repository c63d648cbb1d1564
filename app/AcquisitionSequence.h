#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace fp {

class CEthCamera;

// Where the acquisition test writes and what it hands back; main uses the defaults.
struct SequenceSetup {
  std::FILE* out = stdout;  // the console lines
  std::FILE* err = stderr;  // hints for the user, outside the fixed console lines
  std::string log_file = "log.txt";
  std::string err_log_file = "log_err.txt";
  // Called with the whole image just before its buffer is freed; for tests.
  std::function<void(const std::uint8_t* image)> on_image;
  // Called with the camera once it exists, and with null just before it is deleted.
  std::function<void(CEthCamera* camera)> on_camera;
};

// The fixed acquisition test: creates the camera on `local`, opens the two logs, connects to
// the camera at `remote`, switches binning on, takes one RAW image, fetches the packets that
// went missing, asks for packet 251 once more, reads the camera's identification and closes.
// Prints each outcome; returns the process exit status, 0 on every orderly path.
//
// When the receive buffer the camera's socket was granted cannot hold one image, says so once on
// `setup.err`, with the sysctl line that lifts the limit.
//
// When the camera cannot be opened the camera object is kept, never destroyed, until the
// process ends, so its logs end without "STOP LOGGING." and still reach their files.
int RunAcquisitionSequence(const char* local, const char* remote, const SequenceSetup& setup);

}  // namespace fp
