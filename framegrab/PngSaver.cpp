#include "framegrab/PngSaver.h"

#include "nudp/NudpProtocol.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <png.h>
#include <zlib.h>

namespace fp {

namespace {

// One image queued while one is written: more would only hold memory, since a writer that
// falls behind by two images is behind for good at the camera's rate.
constexpr int kImagesHeld = 2;

struct PngFailure {
  char text[200] = {};
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->text, sizeof failure->text, "%s", message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Only plain locals here: longjmp skips destructors.
bool Encode(std::FILE* file, const std::uint8_t* image, int width, PngFailure& failure) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, OnPngError, OnPngWarning);
  if (png == nullptr) {
    std::snprintf(failure.text, sizeof failure.text, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  const auto columns = static_cast<png_uint_32>(width);
  const png_uint_32 rows = static_cast<png_uint_32>(RAW_IMAGE_SIZE / 2) / columns;
  png_init_io(png, file);
  // Speed over size: the writer must keep up with the camera. Sensor noise leaves little for
  // string matching to find, so only Huffman coding of the row differences is done.
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_HUFFMAN_ONLY);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, columns, rows, /*bit_depth=*/16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  // The camera's words come least significant byte first; PNG wants the other order.
  png_set_swap(png);
  for (png_uint_32 row = 0; row < rows; ++row) {
    png_write_row(png, image + std::size_t{row} * columns * 2);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

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
  PngFailure failure;
  const bool encoded = Encode(file, image, _width, failure);
  const int write_error = std::ferror(file) != 0 ? errno : 0;
  const bool closed = std::fclose(file) == 0;
  if (!encoded) return failure.text;
  if (write_error != 0) return std::strerror(write_error);
  if (!closed) return std::strerror(errno);
  return "";
}

}  // namespace fp
