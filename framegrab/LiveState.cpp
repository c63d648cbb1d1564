#include "framegrab/LiveState.h"

#include <algorithm>

namespace fp {

namespace {

// Previews are made at most this often, whatever the image rate.
constexpr std::chrono::milliseconds kPreviewPeriod(250);

}  // namespace

LiveState::LiveState(int width) : _width(width) {
  _previews = std::thread(&LiveState::RunPreviews, this);
}

LiveState::~LiveState() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stop_previews = true;
  }
  _changed.notify_all();
  _previews.join();
}

void LiveState::Begin(const GrabReport& report) {
  const ProcessorTime cpu = ReadProcessorTime();
  GrabReport header = report;
  header.images.clear();
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _header = std::move(header);
    _cpu_at_begin = cpu;
    ++_version;
  }
  _changed.notify_all();
}

void LiveState::AddImage(const ImageRecord& record, double elapsed_ms) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _open.push_back(record);
    if (_open.size() == kChunk) {
      _full.push_back(std::make_shared<const Chunk>(std::move(_open)));
      _open = Chunk();
      _open.reserve(kChunk);
    }
    _header.elapsed_ms = elapsed_ms;
    ++_version;
  }
  _changed.notify_all();
}

bool LiveState::WantsImage() {
  std::lock_guard<std::mutex> lock(_mutex);
  return !_pending && !_previewing &&
         std::chrono::steady_clock::now() - _last_offer >= kPreviewPeriod;
}

void LiveState::OfferImage(std::shared_ptr<const std::uint8_t[]> image, int image_number) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _pending = std::move(image);
    _pending_number = image_number;
    _last_offer = std::chrono::steady_clock::now();
  }
  _changed.notify_all();
}

void LiveState::Finish(const GrabReport& report, std::shared_ptr<const std::uint8_t[]> last,
                       int last_number) {
  GrabReport header = report;
  header.images.clear();
  std::unique_lock<std::mutex> lock(_mutex);
  _header = std::move(header);
  _running = false;
  ++_version;
  const bool shown = (_preview && _preview->image >= last_number) || _pending_number == last_number;
  if (last && !shown) {
    _pending = std::move(last);
    _pending_number = last_number;
  }
  _changed.notify_all();
  if (last_number <= 0) return;
  _changed.wait(lock,
                [&] { return _stop_previews || (_preview && _preview->image >= last_number); });
}

void LiveState::RunPreviews() {
  std::unique_lock<std::mutex> lock(_mutex);
  for (;;) {
    _changed.wait(lock, [this] { return _stop_previews || _pending; });
    if (_stop_previews) return;
    std::shared_ptr<const std::uint8_t[]> image = std::move(_pending);
    const int number = _pending_number;
    _previewing = true;
    lock.unlock();
    auto preview = std::make_shared<const Preview>(MakePreview(image.get(), _width, number));
    lock.lock();
    _previewing = false;
    if (!_preview || _preview->image < number) {
      _preview = std::move(preview);
      _latest = std::move(image);
      ++_version;
    }
    _changed.notify_all();
  }
}

GrabReport LiveState::Snapshot() const {
  GrabReport report;
  std::vector<std::shared_ptr<const Chunk>> full;
  bool running = false;
  ProcessorTime cpu_at_begin;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    report = _header;
    full = _full;
    report.images = _open;
    running = _running;
    cpu_at_begin = _cpu_at_begin;
  }
  Chunk open = std::move(report.images);
  report.images.clear();
  report.images.reserve(full.size() * kChunk + open.size());
  for (const auto& chunk : full)
    report.images.insert(report.images.end(), chunk->begin(), chunk->end());
  report.images.insert(report.images.end(), open.begin(), open.end());
  if (running) {
    report.ended_by = "running";
    report.rcvbuf_errors_after = ReadRcvbufErrors();
    const ProcessorTime now = ReadProcessorTime();
    report.cpu_user_ms = now.user_ms - cpu_at_begin.user_ms;
    report.cpu_system_ms = now.system_ms - cpu_at_begin.system_ms;
    Summarize(report, 0);
  }
  return report;
}

bool LiveState::Running() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _running;
}

std::uint64_t LiveState::Version() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _version;
}

std::vector<ImageRecord> LiveState::Records(std::size_t from, std::size_t count) const {
  const std::size_t end = from + count;
  const std::size_t first = from / kChunk;
  std::vector<std::shared_ptr<const Chunk>> chunks;
  std::vector<ImageRecord> tail;  // from the open chunk, copied under the lock
  {
    std::lock_guard<std::mutex> lock(_mutex);
    for (std::size_t c = first; c < _full.size() && c * kChunk < end; ++c) {
      chunks.push_back(_full[c]);
    }
    const std::size_t open_at = _full.size() * kChunk;
    for (std::size_t i = std::max(from, open_at); i < end && i - open_at < _open.size(); ++i) {
      tail.push_back(_open[i - open_at]);
    }
  }
  std::vector<ImageRecord> page;
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const std::size_t at = (first + c) * kChunk;
    for (std::size_t i = std::max(from, at); i < std::min(end, at + kChunk); ++i) {
      page.push_back((*chunks[c])[i - at]);
    }
  }
  page.insert(page.end(), tail.begin(), tail.end());
  return page;
}

std::shared_ptr<const Preview> LiveState::LatestPreview() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _preview;
}

std::shared_ptr<const std::uint8_t[]> LiveState::LatestImage(int* number) const {
  std::lock_guard<std::mutex> lock(_mutex);
  if (number != nullptr) *number = _preview ? _preview->image : 0;
  return _latest;
}

}  // namespace fp
