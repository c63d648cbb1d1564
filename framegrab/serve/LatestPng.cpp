#include "framegrab/serve/LatestPng.h"

#include "base/Background.h"
#include "nudp/NudpProtocol.h"

#include "framegrab/write/PngEncoder.h"

namespace fp {

LatestPng::LatestPng(int width, std::function<void()> encoded)
    : _width(width),
      _encoded(std::move(encoded)),
      _thread(_mutex, _wanted, _stop, [this] { Run(); }) {}

LatestPng::File LatestPng::Get(const SharedImage& raw, int number) {
  File file;
  {
    MutexLock lock(_mutex);
    if (_done == number && _png) {
      file.state = State::kReady;
      file.png = _png;
      return file;
    }
    if (_raw) {
      file.state = _encoding == number ? State::kWaiting : State::kBusy;
      return file;
    }
    _raw = raw;
    _encoding = number;
    _png.reset();  // nobody asks for an older image any more; who holds it keeps it
    _done = 0;
    file.state = State::kWaiting;
  }
  _wanted.notify_all();
  return file;
}

int LatestPng::Encodes() const {
  MutexLock lock(_mutex);
  return _encodes;
}

void LatestPng::Run() {
  RunInBackground();
  MutexLock lock(_mutex);
  for (;;) {
    _wanted.wait(lock.Native(), [this]() REQUIRES(_mutex) { return _stop || _raw; });
    if (_stop) return;
    const SharedImage raw = _raw;
    const int height = static_cast<int>(RAW_IMAGE_SIZE / 2) / _width;
    lock.Unlock();
    auto png = std::make_shared<const std::string>(GrayPngFile(raw.get(), _width, height, 16));
    lock.Lock();
    _png = std::move(png);
    _done = _encoding;
    _raw.reset();
    ++_encodes;
    lock.Unlock();
    if (_encoded) _encoded();
    lock.Lock();
  }
}

}  // namespace fp
