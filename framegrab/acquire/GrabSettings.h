#pragma once

#include "framegrab/write/PictureSaver.h"

#include <string>
#include <vector>

namespace fp {

// One camera of a run: the local interface that faces it and its address, dotted quads.
struct CameraLink {
  std::string local;
  std::string remote;
  friend bool operator==(const CameraLink&, const CameraLink&) = default;
};

// framegrab's command line, as ParseGrabArgs (framegrab/GrabOptions.h) reads it and the run
// reads it.
struct GrabOptions {
  std::string local;   // local interface, a dotted quad: the first camera's
  std::string remote;  // camera, a dotted quad: the first camera's
  // Every camera, the first one too, in the order given: a station when more than one.
  std::vector<CameraLink> cameras;
  // In a station, the camera a run's lines on the error stream name; empty alone.
  std::string station_camera;
  int images = 10;
  double duration_seconds = 0;         // 0 = no limit
  double give_up_after_seconds = 0;    // of one outage; 0 = never
  double progress_every_seconds = 60;  // without a terminal; 0 = a line per image
  std::string save_dir;                // empty = no pictures
  int save_every = 1;
  PictureFormat format = PictureFormat::kPng;
  WhenBehind when_behind = WhenBehind::kWait;
  int width = 2048;               // samples per row of a picture
  std::string json_path;          // empty = none, "-" = standard output
  std::string records_path;       // --records: JSON Lines as the run goes, empty = none
  std::string logs_dir;           // empty = driver logs off
  bool logs_errors_only = false;  // only log_err.txt
  bool quiet = false;
  std::string serve_address;  // --serve: empty = no live page
  int serve_port = 0;
  std::string report_path;  // --report: empty = none
  // --from-capture: the capture file read instead of a camera; empty = a camera's run.
  std::string capture_path;
};

// Samples in one image: 4,222,976 16-bit words. A width must divide it.
inline constexpr int kImageSamples = 4222976;

}  // namespace fp
