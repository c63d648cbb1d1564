#pragma once

#include "base/WorkerThread.h"

#include "framegrab/model/ImageBuffer.h"
#include "framegrab/model/Preview.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace fp {

// Makes previews of the images the grab thread offers, on a thread of its own, and keeps the
// newest with the image it shows. The grab thread is asked for an image only when the worker is
// idle and its last preview is old enough, so previews cost at most a few a second whatever the
// image rate.
//
// Who calls what: the grab thread WantsImage, Offer and Finish; any thread the readers.
class PreviewWorker {
 public:
  // Images are laid out `width` samples a row, as for pictures.
  explicit PreviewWorker(int width);
  PreviewWorker(const PreviewWorker&) = delete;
  PreviewWorker& operator=(const PreviewWorker&) = delete;

  // True when an image offered now would be previewed soon.
  bool WantsImage();
  // Hands over image `number` (RAW_IMAGE_SIZE bytes, only read), `missing_packets` of it zeros
  // (an incomplete image).
  void Offer(SharedImage image, int number, int missing_packets = 0);
  // After the run, with its last image (may be null): returns once the preview shows it.
  void Finish(SharedImage last, int last_number, int last_missing_packets = 0);

  // The newest preview, or null before the first.
  std::shared_ptr<const Preview> Latest() const;
  // The image the newest preview shows, or null before the first, and, when `number` is given,
  // its number (0 before the first), both of the same moment.
  SharedImage LatestImage(int* number = nullptr) const;
  int Width() const { return _width; }

 private:
  void Run();

  const int _width;

  // Guarded by _mutex (grab thread, worker, readers).
  mutable std::mutex _mutex;
  std::condition_variable _wake;
  SharedImage _pending;  // offered, not yet previewed
  int _pending_number = 0;
  int _pending_missing = 0;
  bool _working = false;
  bool _stop = false;
  std::chrono::steady_clock::time_point _last_offer{};
  std::shared_ptr<const Preview> _preview;
  SharedImage _latest;

  WorkerThread _thread;  // last: starts when everything above exists
};

}  // namespace fp
