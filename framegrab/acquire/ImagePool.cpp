#include "framegrab/acquire/ImagePool.h"

#include "nudp/NudpProtocol.h"

#include <algorithm>

namespace fp {

ImagePool::ImagePool(int buffers, int most) : _shelf(std::make_shared<Shelf>()) {
  // Zeroed now, so that the pages are mapped before the first image is taken into them.
  for (int i = 0; i < buffers; ++i) {
    _shelf->free.push_back(std::make_unique<std::uint8_t[]>(RAW_IMAGE_SIZE));
  }
  _shelf->allocated = buffers;
  _shelf->most = std::max(buffers, most);
}

ImageBuffer ImagePool::Take() {
  std::unique_ptr<std::uint8_t[]> buffer;
  {
    MutexLock lock(_shelf->mutex);
    if (!_shelf->free.empty()) {
      buffer = std::move(_shelf->free.back());
      _shelf->free.pop_back();
    } else if (_shelf->allocated < _shelf->most) {
      ++_shelf->allocated;
    } else {
      return nullptr;
    }
  }
  if (!buffer) buffer = std::make_unique<std::uint8_t[]>(RAW_IMAGE_SIZE);
  return ImageBuffer(buffer.release(), [shelf = _shelf](std::uint8_t* data) {
    MutexLock lock(shelf->mutex);
    shelf->free.emplace_back(data);
  });
}

}  // namespace fp
