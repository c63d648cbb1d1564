#include "framegrab/LiveState.h"

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
    _closed = true;
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

void LiveState::OfferImage(std::shared_ptr<const std::uint8_t[]> image, int image_number,
                           int missing_packets) {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _pending = std::move(image);
    _pending_number = image_number;
    _pending_missing = missing_packets;
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
    _pending_missing = 0;
    for (const ImageRecord& r : report.images) {
      if (r.number == last_number) _pending_missing = MissingPackets(r);
    }
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
    const int missing = _pending_missing;
    _previewing = true;
    lock.unlock();
    auto preview =
        std::make_shared<const Preview>(MakePreview(image.get(), _width, number, missing));
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

bool LiveState::WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(_mutex);
  _changed.wait_for(lock, limit, [&] { return _closed || _version != seen; });
  return !_closed;
}

bool LiveState::Pause(std::chrono::milliseconds period) const {
  std::unique_lock<std::mutex> lock(_mutex);
  _changed.wait_for(lock, period, [this] { return _closed; });
  return !_closed;
}

std::shared_ptr<const Preview> LiveState::LatestPreview() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _preview;
}

std::shared_ptr<const std::uint8_t[]> LiveState::LatestImage() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _latest;
}

void LiveState::Close() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _closed = true;
  }
  _changed.notify_all();
}

}  // namespace fp
