#pragma once

#include "framegrab/PictureSaver.h"

#include <cstdio>
#include <string>
#include <vector>

namespace fp {

// framegrab's command line.
struct GrabOptions {
  std::string local;   // local interface, dotted quad or host name
  std::string remote;  // camera, dotted quad or host name
  int images = 10;
  double duration_seconds = 0;  // 0 = no limit
  std::string save_dir;         // empty = no pictures
  int save_every = 1;
  PictureFormat format = PictureFormat::kPng;
  WhenBehind when_behind = WhenBehind::kWait;
  int width = 2048;          // samples per row of a picture
  std::string json_path;     // empty = none, "-" = standard output
  std::string records_path;  // --records: JSON Lines as the run goes, empty = none
  std::string logs_dir;      // empty = driver logs off
  bool quiet = false;
  std::string serve_address;  // --serve: empty = no live page
  int serve_port = 0;
  std::string report_path;  // --report: empty = none
};

enum class GrabParse { kRun, kDone, kUsageError };

// Parses the arguments after the program name. kDone means --help or --version answered on
// `out`; kUsageError means one line naming the bad flag and the usage line went to `err`.
GrabParse ParseGrabArgs(const std::vector<std::string>& args, GrabOptions& options, std::FILE* out,
                        std::FILE* err);

// Samples in one image: 4,222,976 16-bit words. A width must divide it.
inline constexpr int kImageSamples = 4222976;

}  // namespace fp
