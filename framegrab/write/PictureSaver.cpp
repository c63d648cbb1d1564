#include "framegrab/write/PictureSaver.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/model/UtcTime.h"
#include "framegrab/write/PngEncoder.h"
#include "framegrab/write/TiffWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace fp {

namespace {

// Errors after which no later picture could be written either.
bool FileSystemFull(int error) { return error == ENOSPC || error == EDQUOT; }

double MsSince(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

const char* PictureFormatName(PictureFormat format) {
  return format == PictureFormat::kTiff ? "tiff" : "png";
}

const char* WhenBehindName(WhenBehind when) { return when == WhenBehind::kWait ? "wait" : "skip"; }

std::string PictureSaver::FirstPicture(const OutputDir& dir) {
  const int fd = ::dup(dir.Fd());
  DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) ::close(fd);
    return "";
  }
  static const std::regex kPicture(R"(image-[0-9]+(-incomplete)?\.(png|tiff))");
  std::string found;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::regex_match(entry->d_name, kPicture) && (found.empty() || entry->d_name < found)) {
      found = entry->d_name;
    }
  }
  ::closedir(listing);
  return found;
}

int PictureQueueImages() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  long long kib = 0;
  std::string unit;
  long long available = 0;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") available = kib * 1024;
  }
  const long long images = available / 4 / static_cast<long long>(RAW_IMAGE_SIZE);
  return static_cast<int>(std::clamp<long long>(images, 2, 64));
}

PictureSaver::PictureSaver(OutputDir dir, int width, int digits, PictureFormat format,
                           WhenBehind when_behind, int queue_images)
    : _dir(std::move(dir)),
      _width(width),
      _digits(digits),
      _format(format),
      _when_behind(when_behind),
      _queue_images(std::max(1, queue_images)),
      _thread(_mutex, _wake, _stop, [this] { Run(); }) {}

std::string PictureSaver::FileName(int number, bool incomplete) const {
  char name[64];
  std::snprintf(name, sizeof name, "image-%0*d%s.%s", _digits, number,
                incomplete ? "-incomplete" : "", PictureFormatName(_format));
  return name;
}

PictureSaver::Offered PictureSaver::Reserve() {
  MutexLock lock(_mutex);
  const auto full = [this]() REQUIRES(_mutex) {
    return static_cast<int>(_queue.size()) + _reserved >= _queue_images;
  };
  if (_counts.stopped_at == 0 && full()) {
    if (_when_behind == WhenBehind::kSkip) {
      ++_counts.skipped;
      return Offered::kSkipped;
    }
    const auto since = std::chrono::steady_clock::now();
    _wake.wait(lock.Native(),
               [&]() REQUIRES(_mutex) { return _counts.stopped_at != 0 || !full(); });
    _counts.waited_ms += MsSince(since);
  }
  if (_counts.stopped_at != 0) {
    ++_counts.unsaved_after_stop;
    return Offered::kStopped;
  }
  ++_reserved;
  return Offered::kQueued;
}

void PictureSaver::Fill(SharedImage image, const PictureTags& tags) {
  {
    MutexLock lock(_mutex);
    --_reserved;
    if (_counts.stopped_at != 0) {
      ++_counts.unsaved_after_stop;
      return;
    }
    _queue.push_back(Job{std::move(image), tags});
  }
  _wake.notify_all();
}

void PictureSaver::Flush() {
  MutexLock lock(_mutex);
  _wake.wait(lock.Native(), [this]() REQUIRES(_mutex) { return _queue.empty() && !_writing; });
}

PictureCounts PictureSaver::Counts() const {
  MutexLock lock(_mutex);
  return _counts;
}

std::vector<std::string> PictureSaver::TakeErrors() {
  MutexLock lock(_mutex);
  return std::move(_errors);
}

void PictureSaver::Stop(int number, const std::string& reason) {
  _counts.stopped_at = number;
  _counts.stopped_reason = reason;
  _counts.unsaved_after_stop += static_cast<int>(_queue.size());
  _queue.clear();
}

void PictureSaver::Run() {
  MutexLock lock(_mutex);
  Job job;
  while (TakeNextJob(lock, _wake, _stop, _queue, _writing, job)) {
    _wake.notify_all();  // room in the queue
    lock.Unlock();
    const std::string name = FileName(job.tags.number, !job.tags.complete);
    int error = 0;
    const std::string failure = Write(job, name, error);
    job.image.reset();  // back to its pool
    lock.Lock();
    _writing = false;
    if (failure.empty()) {
      ++_counts.saved;
    } else {
      ++_counts.failed;
      std::string line = "cannot write " + _dir.Path() + "/" + name + ": " + failure;
      if (FileSystemFull(error)) {
        Stop(job.tags.number, failure);
        line += "; no more pictures are saved, the run goes on";
      }
      _errors.push_back(std::move(line));
    }
    _wake.notify_all();
  }
}

std::string PictureSaver::Write(const Job& job, const std::string& name, int& error) {
  OutputFile file;
  std::string why;
  if (!file.Create(_dir, name, why)) {
    error = file.Error();
    return why;
  }
  const int height = static_cast<int>(RAW_IMAGE_SIZE / 2) / _width;
  std::string failure;
  if (_format == PictureFormat::kTiff) {
    const std::string description = "{\"image\": " + std::to_string(job.tags.number) +
                                    ", \"complete\": " + (job.tags.complete ? "true" : "false") +
                                    ", \"taken_utc\": \"" + UtcText(job.tags.taken) + "\"}";
    failure = WriteGrayTiff(file, job.image.get(), _width, height, description,
                            TiffUtc(job.tags.taken), std::string("framegrab ") + FRAMEGRAB_VERSION);
  } else {
    const ByteSink to_file = [&file](const std::uint8_t* data, std::size_t length) {
      return file.Write(data, length);
    };
    failure = EncodeGrayPng(job.image.get(), _width, height, /*bit_depth=*/16, to_file);
  }
  error = file.Error();
  if (error != 0) failure = ErrorText(error);
  if (!failure.empty()) return failure;  // the temporary file goes with `file`
  if (!file.Commit(OutputFile::Replace::kNever, /*durable=*/false, why)) {
    error = file.Error();
    return why;
  }
  return "";
}

void PutPictureCounts(const PictureCounts& counts, RunFacts& facts) {
  facts.saved_pictures = counts.saved;
  facts.unsaved_pictures = counts.skipped;
  facts.failed_pictures = counts.failed;
  facts.saving_stopped_at = counts.stopped_at;
  facts.saving_stopped_reason = counts.stopped_reason;
  facts.unsaved_after_stop_pictures = counts.unsaved_after_stop;
  facts.writer_wait_ms = counts.waited_ms;
}

int PictureNumberDigits(int images) {
  int digits = 1;
  for (int n = images; n >= 10; n /= 10) ++digits;
  return std::max(6, digits);
}

}  // namespace fp
