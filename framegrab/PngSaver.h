#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fp {

// Writes images as 16-bit grayscale PNG files on a thread of its own, so that writing never
// holds up taking images. Offer() hands over a shared image buffer, which the writer only reads
// and lets go of once written, so the caller goes on at once; while one picture is written and
// one waits, a further image is left unsaved and counted. Offer, the counters and Errors belong
// to one caller thread; the destructor writes what is queued, then stops.
class PngSaver {
 public:
  // Pictures `width` samples wide go into `dir` (which must exist) as image-0001.png, ..., an
  // incomplete image's as image-0001-incomplete.png.
  PngSaver(std::string dir, int width);
  ~PngSaver();
  PngSaver(const PngSaver&) = delete;
  PngSaver& operator=(const PngSaver&) = delete;

  // Hands `image` (RAW_IMAGE_SIZE bytes, left unchanged while the writer holds it) of image
  // `number` to the writer. True when it was queued, false when the writer is behind.
  bool Offer(std::shared_ptr<const std::uint8_t[]> image, int number, bool incomplete = false);
  // The file name an image gets, without the directory.
  static std::string FileName(int number, bool incomplete = false);

  // Waits until everything queued is written.
  void Flush();
  int Saved() const;
  int Failed() const;
  // One line for each file that could not be written, taken once.
  std::vector<std::string> TakeErrors();

 private:
  struct Job {
    std::shared_ptr<const std::uint8_t[]> image;
    int number = 0;
    bool incomplete = false;
  };
  void Run();
  // Empty on success, else why the file could not be written.
  std::string Write(const std::uint8_t* image, const std::string& path) const;

  const std::string _dir;
  const int _width;

  // Guarded by _mutex: shared by the caller and the writer thread.
  mutable std::mutex _mutex;
  std::condition_variable _wake;
  std::vector<Job> _queue;
  bool _writing = false;
  bool _stop = false;
  int _saved = 0;
  int _failed = 0;
  std::vector<std::string> _errors;

  std::thread _thread;  // last: starts when everything above exists
};

}  // namespace fp
