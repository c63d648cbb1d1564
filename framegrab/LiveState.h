#pragma once

#include "framegrab/GrabReport.h"
#include "framegrab/HostCounters.h"
#include "framegrab/Preview.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace fp {

// What a run has found so far, shared between the grab thread, which adds to it, and readers
// (the live page's server threads, the report at the end), which take snapshots. The grab thread
// only ever holds the mutex for a push or a pointer swap: records are kept in chunks that are
// never changed once full, so a snapshot copies a few pointers and at most one open chunk, and
// everything slow (summaries, charts, previews, PNG files) is done by the readers or by the
// preview thread this class owns.
//
// Who touches what: the grab thread calls Begin, AddImage, WantsImage, OfferImage and Finish;
// the preview thread turns offered images into previews; any thread calls the readers.
class LiveState {
 public:
  // Images are laid out `width` samples a row, as for pictures.
  explicit LiveState(int width);
  ~LiveState();
  LiveState(const LiveState&) = delete;
  LiveState& operator=(const LiveState&) = delete;

  // Grab thread. The run's fixed figures (addresses, images asked for, receive buffer, kernel
  // counter before), once the camera is open, just before the first image.
  void Begin(const GrabReport& report);
  // Grab thread. One more image, `elapsed_ms` after the first was started.
  void AddImage(const ImageRecord& record, double elapsed_ms);
  // Grab thread. True when the preview thread is idle and the last preview is old enough; only
  // then is an image offered, so previews cost at most a few a second.
  bool WantsImage();
  // Grab thread. Hands over the image `image` for a preview; the buffer is only read.
  void OfferImage(std::shared_ptr<const std::uint8_t[]> image, int image_number);
  // After the run, with the summarised report and the last image (may be null): makes sure the
  // preview shows the last image and returns once it does.
  void Finish(const GrabReport& report, std::shared_ptr<const std::uint8_t[]> last,
              int last_number);

  // Any thread. The report so far, summarised; while the run goes on `ended_by` is "running"
  // and the kernel and processor counters are read now.
  GrabReport Snapshot() const;
  bool Running() const;
  // Any thread. Changes whenever a record, a preview or the end of the run comes in.
  std::uint64_t Version() const;
  // Any thread. At most `count` records from the `from`-th (0 for the first), copied.
  std::vector<ImageRecord> Records(std::size_t from, std::size_t count) const;
  // Any thread. The newest preview, or null before the first.
  std::shared_ptr<const Preview> LatestPreview() const;
  // Any thread. The image the newest preview shows (null before the first) and, when `number`
  // is given, its number.
  std::shared_ptr<const std::uint8_t[]> LatestImage(int* number = nullptr) const;
  int Width() const { return _width; }

 private:
  using Chunk = std::vector<ImageRecord>;
  void RunPreviews();

  const int _width;
  static constexpr std::size_t kChunk = 256;

  // Guarded by _mutex (grab thread, preview thread, readers).
  mutable std::mutex _mutex;
  mutable std::condition_variable _changed;
  GrabReport _header;  // everything but the records; the summary once finished
  ProcessorTime _cpu_at_begin;
  std::vector<std::shared_ptr<const Chunk>> _full;
  Chunk _open;
  bool _running = true;
  bool _stop_previews = false;
  std::uint64_t _version = 1;
  std::shared_ptr<const std::uint8_t[]> _pending;  // offered, not yet previewed
  int _pending_number = 0;
  bool _previewing = false;
  std::chrono::steady_clock::time_point _last_offer{};
  std::shared_ptr<const Preview> _preview;
  std::shared_ptr<const std::uint8_t[]> _latest;

  std::thread _previews;  // last: starts when everything above exists
};

}  // namespace fp
