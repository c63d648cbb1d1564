#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/WorkerThread.h"

#include "framegrab/model/ImageBuffer.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fp {

// The newest image as a whole 16-bit PNG file, for the live page's /latest.png. Each image is
// encoded at most once, on a thread of this class (at a lower priority), one at a time; the file of
// the image encoded last is kept for every client that asks for it until a newer one is done.
class LatestPng {
 public:
  // Images are laid out `width` samples a row. `encoded` is called on the encoder's thread
  // after each image is done, for whoever waits for it.
  LatestPng(int width, std::function<void()> encoded);
  LatestPng(const LatestPng&) = delete;
  LatestPng& operator=(const LatestPng&) = delete;

  enum class State {
    kReady,    // `png` is the file (empty when libpng failed)
    kWaiting,  // being made now; ask again after `encoded`
    kBusy,     // another image is being made
  };
  struct File {
    State state = State::kBusy;
    std::shared_ptr<const std::string> png;
  };
  // Any thread. The file of image `number`, whose samples are `raw` (RAW_IMAGE_SIZE bytes,
  // only read); starts making it when the encoder is idle.
  File Get(const SharedImage& raw, int number) EXCLUDES(_mutex);
  // Any thread. Images encoded so far.
  int Encodes() const EXCLUDES(_mutex);

 private:
  void Run() EXCLUDES(_mutex);

  const int _width;
  const std::function<void()> _encoded;

  // Shared by the callers and the encoder.
  mutable Mutex _mutex;
  std::condition_variable _wanted;
  SharedImage _raw GUARDED_BY(_mutex);                         // to encode; null when idle
  int _encoding GUARDED_BY(_mutex) = 0;                        // its number
  std::shared_ptr<const std::string> _png GUARDED_BY(_mutex);  // the file of image _done
  int _done GUARDED_BY(_mutex) = 0;
  int _encodes GUARDED_BY(_mutex) = 0;
  bool _stop GUARDED_BY(_mutex) = false;

  WorkerThread _thread;  // last: starts when everything above exists; stopping waits for
                         // the encode under way
};

}  // namespace fp
