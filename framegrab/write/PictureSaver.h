#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/WorkerThread.h"

#include "framegrab/model/ImageBuffer.h"
#include "framegrab/model/RunModel.h"
#include "framegrab/write/OutputFile.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace fp {

enum class PictureFormat { kPng, kTiff };
// "png", "tiff": the format's name, and the files' extension.
const char* PictureFormatName(PictureFormat format);

// What to do with an image when the writer has no room for it: wait for room (every image is
// kept; acquisition waits), or leave it unsaved and go on at the camera's rate.
enum class WhenBehind { kWait, kSkip };
const char* WhenBehindName(WhenBehind when);

// What a picture says of its image, in the file where the format has a place for it.
struct PictureTags {
  int number = 0;
  bool complete = false;
  std::chrono::system_clock::time_point taken;  // when the image ended
};

// How the pictures went, so far.
struct PictureCounts {
  int saved = 0;
  int skipped = 0;  // left unsaved while the writer was behind
  int failed = 0;   // could not be written
  // Saving stops for good when the file system is full: the image whose picture failed so,
  // why, and the pictures not saved since (queued then, or offered later).
  int stopped_at = 0;  // 0 = not stopped
  std::string stopped_reason;
  int unsaved_after_stop = 0;
  double waited_ms = 0;  // acquisition waiting for room in the queue
};

// Writes images as 16-bit grayscale pictures (PNG or TIFF) on a thread of its own, so that
// writing does not hold up taking images. Reserve() keeps a place for an image as it ends and
// Fill() hands over the shared image buffer, which the writer only reads and lets go of once
// written. Each file is written under a temporary name and
// renamed to its name (FileName) when whole, never over an existing file; a failed file
// leaves nothing behind. One failure message for each file that fails, and one in all once the
// file system is full, after which nothing more is saved.
//
// Reserve, Fill, Flush and the counts belong to one caller thread; the destructor writes what is
// queued, then stops.
class PictureSaver {
 public:
  enum class Offered { kQueued, kSkipped, kStopped };

  // Pictures `width` samples wide go into `dir`, numbers `digits` wide at least; up to
  // `queue_images` images wait while one is written.
  PictureSaver(OutputDir dir, int width, int digits, PictureFormat format, WhenBehind when_behind,
               int queue_images);
  PictureSaver(const PictureSaver&) = delete;
  PictureSaver& operator=(const PictureSaver&) = delete;

  // As an image ends: whether its picture will be written. kQueued keeps a place in the queue
  // for it, which Fill then takes; with WhenBehind::kWait, waits while the queue is full.
  Offered Reserve() EXCLUDES(_mutex);
  // Hands `image` (RAW_IMAGE_SIZE bytes, left unchanged while the writer holds it) to the
  // writer, into the place Reserve kept; dropped, and counted, when saving stopped meanwhile.
  void Fill(SharedImage image, const PictureTags& tags) EXCLUDES(_mutex);
  // The file name image `number` gets, without the directory: "image-000001.tiff", an
  // incomplete image's "image-000001-incomplete.tiff".
  std::string FileName(int number, bool incomplete) const;

  // The first picture's name (in name order) that `dir` holds already, "" when none: a picture
  // of an earlier run, which this one must not mix with.
  static std::string FirstPicture(const OutputDir& dir);

  // Waits until everything queued is written.
  void Flush() EXCLUDES(_mutex);
  PictureCounts Counts() const EXCLUDES(_mutex);
  // One line for each failure, taken once.
  std::vector<std::string> TakeErrors() EXCLUDES(_mutex);

 private:
  struct Job {
    SharedImage image;
    PictureTags tags;
  };
  void Run() EXCLUDES(_mutex);
  // Empty on success, else why the file could not be written; `error` the errno, if any.
  std::string Write(const Job& job, const std::string& name, int& error);
  // Stops saving for good: after image `number`, for `reason`.
  void Stop(int number, const std::string& reason) REQUIRES(_mutex);

  const OutputDir _dir;
  const int _width;
  const int _digits;
  const PictureFormat _format;
  const WhenBehind _when_behind;
  const int _queue_images;

  // Shared by the caller and the writer thread.
  mutable Mutex _mutex;
  std::condition_variable _wake;
  std::deque<Job> _queue GUARDED_BY(_mutex);
  int _reserved GUARDED_BY(_mutex) = 0;  // places kept by Reserve, not yet filled
  bool _writing GUARDED_BY(_mutex) = false;
  bool _stop GUARDED_BY(_mutex) = false;
  PictureCounts _counts GUARDED_BY(_mutex);
  std::vector<std::string> _errors GUARDED_BY(_mutex);

  WorkerThread _thread;  // last: starts when everything above exists
};

// How many images may wait for the writer when every image is kept: a quarter of the memory
// available now, 2 to 64 images.
int PictureQueueImages();

// How the pictures went, into a run's facts.
void PutPictureCounts(const PictureCounts& counts, RunFacts& facts);

// Digits enough in a picture's name for every image number up to `images`, at least 6.
int PictureNumberDigits(int images);

}  // namespace fp
