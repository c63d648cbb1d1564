#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include "framegrab/model/ImageBuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace fp {

// A fixed set of image buffers (RAW_IMAGE_SIZE bytes each), all allocated up front, handed out as
// ImageBuffers (see ImageBuffer.h for who holds them and when they come back): a buffer goes
// back on the shelf when its last holder lets go of it, on whichever thread that is. So an image
// taken once can go to the picture writer and the live view at the same time without a copy,
// and the grabber knows when it may reuse a buffer. Take() from any thread; the shelf outlives
// the pool while buffers are out.
class ImagePool {
 public:
  // `buffers` allocated now; more, up to `most` in all, as they are needed.
  explicit ImagePool(int buffers, int most = 0);
  ImagePool(const ImagePool&) = delete;
  ImagePool& operator=(const ImagePool&) = delete;

  // A buffer nobody else holds, or null when every one of `most` is out.
  ImageBuffer Take();

 private:
  struct Shelf {
    Mutex mutex;
    std::vector<std::unique_ptr<std::uint8_t[]>> free GUARDED_BY(mutex);
    int allocated GUARDED_BY(mutex) = 0;
    int most = 0;
  };
  std::shared_ptr<Shelf> _shelf;
};

}  // namespace fp
