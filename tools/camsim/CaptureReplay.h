#pragma once

#include "capture/NudpConversation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fp {

// A capture read for a replay: one camera's images, each with its stream as it came and the
// image rebuilt, and every command the host sent with its answer. It all stays in memory, about
// 8.5 MB an image, so a capture of more than kMaxImages images of the camera is refused.
class CaptureReplay {
 public:
  static constexpr int kMaxImages = 256;  // about 2.2 GB

  // Reads the capture at `path` and keeps the conversation of the camera at `camera` (a dotted
  // quad; empty for the capture's only camera). False with a one-line reason in `error` when it
  // cannot be replayed: not a capture, damaged, frames cut short by its snap length, no NUDP,
  // several cameras and none chosen, the chosen one absent, no image or too many.
  bool Load(const std::string& path, const std::string& camera, std::string& error);

  const std::string& Camera() const { return _camera; }  // "192.168.1.20"
  int Images() const { return static_cast<int>(_images.size()); }
  // Image `number`, 1 to Images().
  const CapturedImage& Image(int number) const {
    return _images[static_cast<std::size_t>(number - 1)];
  }
  // Every command the host sent the camera, in order, with its answer.
  const std::vector<CapturedCommand>& Commands() const { return _commands; }

 private:
  std::string _camera;
  std::vector<CapturedImage> _images;
  std::vector<CapturedCommand> _commands;
};

}  // namespace fp
