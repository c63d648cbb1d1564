#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/WorkerThread.h"

#include "framegrab/model/ImageBuffer.h"
#include "framegrab/model/RunModel.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>

namespace fp {

class RunRecords;

// Completes each image's record with what is in the picture and files it in the run's records,
// on a thread of its own, so that the grab thread only hands the image over. Images are taken
// in the order offered; one is analysed while one waits, and a further offer waits for room, so
// every image is analysed and the buffers held stay few. Analysing an image takes a few
// milliseconds, far less than taking one, on a thread of lower priority than the driver's.
//
// Offer and Flush belong to one caller thread; the destructor files what was offered, then
// stops.
class ImageAnalyser {
 public:
  explicit ImageAnalyser(RunRecords& records);
  ImageAnalyser(const ImageAnalyser&) = delete;
  ImageAnalyser& operator=(const ImageAnalyser&) = delete;

  // Hands over the record of the image `image` (RAW_IMAGE_SIZE bytes, only read, let go of
  // once analysed). Waits while the analyser is two images behind.
  void Offer(ImageRecord record, SharedImage image) EXCLUDES(_mutex);
  // Waits until every record offered is filed.
  void Flush() EXCLUDES(_mutex);

 private:
  struct Job {
    ImageRecord record;
    SharedImage image;
  };
  void Run() EXCLUDES(_mutex);

  RunRecords& _records;  // not owned

  // Shared by the caller and the analyser thread.
  Mutex _mutex;
  std::condition_variable _wake;
  std::deque<Job> _queue GUARDED_BY(_mutex);
  bool _working GUARDED_BY(_mutex) = false;
  bool _stop GUARDED_BY(_mutex) = false;

  WorkerThread _thread;  // last: starts when everything above exists
};

}  // namespace fp
