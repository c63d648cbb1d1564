#pragma once

#include <cstdint>
#include <memory>

namespace fp {

// An image's bytes (RAW_IMAGE_SIZE of them), as they pass from the camera to everything that
// works on the image without a copy.
//
// ImageBuffer: a buffer being filled. The run loop takes it from its ImagePool and alone writes
// into it, through the camera, until the image is taken.
using ImageBuffer = std::shared_ptr<std::uint8_t[]>;

// SharedImage: an image taken, read-only from then on, shared by whatever still works on it
// (the analyser, the picture writer, the preview, the live page). Each holder keeps the bytes
// alive; when the last one lets go, on whichever thread, the buffer goes back to the pool it
// came from (or is freed when the pool is gone), so that the run loop can fill it again. A
// holder that keeps one for long (the preview's latest image) keeps a buffer out of the pool.
using SharedImage = std::shared_ptr<const std::uint8_t[]>;

}  // namespace fp
