#include "framegrab/write/PreviewWorker.h"

#include "framegrab/write/MakePreview.h"

namespace fp {

namespace {

// Previews are made at most this often, whatever the image rate.
constexpr std::chrono::milliseconds kPreviewPeriod(250);

}  // namespace

PreviewWorker::PreviewWorker(int width)
    : _width(width), _thread(_mutex, _wake, _stop, [this] { Run(); }) {}

bool PreviewWorker::WantsImage() {
  MutexLock lock(_mutex);
  return !_pending && !_working && std::chrono::steady_clock::now() - _last_offer >= kPreviewPeriod;
}

void PreviewWorker::Offer(SharedImage image, int number, int missing_packets) {
  {
    MutexLock lock(_mutex);
    _pending = std::move(image);
    _pending_number = number;
    _pending_missing = missing_packets;
    _last_offer = std::chrono::steady_clock::now();
  }
  _wake.notify_all();
}

void PreviewWorker::Finish(SharedImage last, int last_number, int last_missing_packets) {
  MutexLock lock(_mutex);
  const bool shown = (_preview && _preview->image >= last_number) || _pending_number == last_number;
  if (last && !shown) {
    _pending = std::move(last);
    _pending_number = last_number;
    _pending_missing = last_missing_packets;
    _wake.notify_all();
  }
  if (last_number <= 0) return;
  _wake.wait(lock.Native(), [&]() REQUIRES(_mutex) {
    return _stop || (_preview && _preview->image >= last_number);
  });
}

void PreviewWorker::Run() {
  MutexLock lock(_mutex);
  for (;;) {
    _wake.wait(lock.Native(), [this]() REQUIRES(_mutex) { return _stop || _pending; });
    if (_stop) return;
    SharedImage image = std::move(_pending);
    const int number = _pending_number;
    const int missing = _pending_missing;
    _working = true;
    lock.Unlock();
    auto preview =
        std::make_shared<const Preview>(MakePreview(image.get(), _width, number, missing));
    lock.Lock();
    _working = false;
    if (!_preview || _preview->image < number) {
      _preview = std::move(preview);
      _latest = std::move(image);
    }
    _wake.notify_all();
  }
}

std::shared_ptr<const Preview> PreviewWorker::Latest() const {
  MutexLock lock(_mutex);
  return _preview;
}

SharedImage PreviewWorker::LatestImage(int* number) const {
  MutexLock lock(_mutex);
  if (number != nullptr) *number = _preview ? _preview->image : 0;
  return _latest;
}

}  // namespace fp
