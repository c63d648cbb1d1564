#include "framegrab/PngSaver.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/PngEncoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fp {

namespace {

// One image queued while one is written: more would only hold memory, since a writer that
// falls behind by two images is behind for good at the camera's rate.
constexpr int kImagesHeld = 2;

}  // namespace

PngSaver::PngSaver(std::string dir, int width) : _dir(std::move(dir)), _width(width) {
  _thread = std::thread(&PngSaver::Run, this);
}

PngSaver::~PngSaver() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stop = true;
  }
  _wake.notify_all();
  _thread.join();
}

std::string PngSaver::FileName(int number, bool incomplete) {
  char name[48];
  std::snprintf(name, sizeof name, "image-%04d%s.png", number, incomplete ? "-incomplete" : "");
  return name;
}

bool PngSaver::Offer(std::shared_ptr<const std::uint8_t[]> image, int number, bool incomplete) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (static_cast<int>(_queue.size()) + (_writing ? 1 : 0) >= kImagesHeld) return false;
    _queue.push_back(Job{std::move(image), number, incomplete});
  }
  _wake.notify_all();
  return true;
}

void PngSaver::Flush() {
  std::unique_lock<std::mutex> lock(_mutex);
  _wake.wait(lock, [this] { return _queue.empty() && !_writing; });
}

int PngSaver::Saved() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _saved;
}

int PngSaver::Failed() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _failed;
}

std::vector<std::string> PngSaver::TakeErrors() {
  std::lock_guard<std::mutex> lock(_mutex);
  return std::move(_errors);
}

void PngSaver::Run() {
  std::unique_lock<std::mutex> lock(_mutex);
  for (;;) {
    _wake.wait(lock, [this] { return _stop || !_queue.empty(); });
    if (_queue.empty()) return;  // stopping, nothing left to write
    Job job = std::move(_queue.front());
    _queue.erase(_queue.begin());
    _writing = true;
    lock.unlock();
    const std::string path = _dir + "/" + FileName(job.number, job.incomplete);
    const std::string error = Write(job.image.get(), path);
    job.image.reset();  // back to its pool
    lock.lock();
    _writing = false;
    if (error.empty()) {
      ++_saved;
    } else {
      ++_failed;
      _errors.push_back("cannot write " + path + ": " + error);
    }
    _wake.notify_all();
  }
}

std::string PngSaver::Write(const std::uint8_t* image, const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  int write_error = 0;
  const ByteSink to_file = [file, &write_error](const std::uint8_t* data, std::size_t length) {
    if (std::fwrite(data, 1, length, file) == length) return true;
    write_error = errno;
    return false;
  };
  const int height = static_cast<int>(RAW_IMAGE_SIZE / 2) / _width;
  const std::string failure = EncodeGrayPng(image, _width, height, /*bit_depth=*/16, to_file);
  const bool closed = std::fclose(file) == 0;
  const int close_error = errno;
  if (write_error != 0) return std::strerror(write_error);
  if (!failure.empty()) return failure;
  if (!closed) return std::strerror(close_error);
  return "";
}

}  // namespace fp
