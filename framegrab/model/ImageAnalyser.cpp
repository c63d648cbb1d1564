#include "framegrab/model/ImageAnalyser.h"

#include "base/Background.h"

#include "framegrab/model/PictureStats.h"
#include "framegrab/model/RunRecords.h"

#include <vector>

namespace fp {

namespace {

// Images held: the one analysed and one waiting.
constexpr std::size_t kImagesHeld = 2;

}  // namespace

ImageAnalyser::ImageAnalyser(RunRecords& records)
    : _records(records), _thread(_mutex, _wake, _stop, [this] { Run(); }) {}

void ImageAnalyser::Offer(ImageRecord record, SharedImage image) {
  {
    MutexLock lock(_mutex);
    _wake.wait(lock.Native(), [this]() REQUIRES(_mutex) {
      return _queue.size() + (_working ? 1 : 0) < kImagesHeld;
    });
    _queue.push_back(Job{std::move(record), std::move(image)});
  }
  _wake.notify_all();
}

void ImageAnalyser::Flush() {
  MutexLock lock(_mutex);
  _wake.wait(lock.Native(), [this]() REQUIRES(_mutex) { return _queue.empty() && !_working; });
}

void ImageAnalyser::Run() {
  // Analysis gives way to taking images when the processors are busy: the driver's threads
  // must not wait for it.
  RunInBackground();
  std::vector<std::uint32_t> scratch;
  MutexLock lock(_mutex);
  Job job;
  while (TakeNextJob(lock, _wake, _stop, _queue, _working, job)) {
    lock.Unlock();
    if (job.image) job.record.samples = AnalysePicture(job.image.get(), scratch);
    job.image.reset();  // back to its pool
    _records.Add(std::move(job.record));
    lock.Lock();
    _working = false;
    _wake.notify_all();
  }
}

}  // namespace fp
