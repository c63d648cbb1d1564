#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/WorkerThread.h"

#include "framegrab/model/ImageBuffer.h"
#include "framegrab/model/Preview.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>

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
  bool WantsImage() EXCLUDES(_mutex);
  // Hands over image `number` (RAW_IMAGE_SIZE bytes, only read), `missing_packets` of it zeros
  // (an incomplete image).
  void Offer(SharedImage image, int number, int missing_packets = 0) EXCLUDES(_mutex);
  // After the run, with its last image (may be null): returns once the preview shows it.
  void Finish(SharedImage last, int last_number, int last_missing_packets = 0) EXCLUDES(_mutex);

  // The newest preview, or null before the first.
  std::shared_ptr<const Preview> Latest() const EXCLUDES(_mutex);
  // The image the newest preview shows, or null before the first, and, when `number` is given,
  // its number (0 before the first), both of the same moment.
  SharedImage LatestImage(int* number = nullptr) const EXCLUDES(_mutex);
  int Width() const { return _width; }

 private:
  void Run() EXCLUDES(_mutex);

  const int _width;

  // Shared by the grab thread, the worker and the readers.
  mutable Mutex _mutex;
  std::condition_variable _wake;
  SharedImage _pending GUARDED_BY(_mutex);  // offered, not yet previewed
  int _pending_number GUARDED_BY(_mutex) = 0;
  int _pending_missing GUARDED_BY(_mutex) = 0;
  bool _working GUARDED_BY(_mutex) = false;
  bool _stop GUARDED_BY(_mutex) = false;
  std::chrono::steady_clock::time_point _last_offer GUARDED_BY(_mutex) = {};
  std::shared_ptr<const Preview> _preview GUARDED_BY(_mutex);
  SharedImage _latest GUARDED_BY(_mutex);

  WorkerThread _thread;  // last: starts when everything above exists
};

}  // namespace fp
