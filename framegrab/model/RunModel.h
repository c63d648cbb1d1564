#pragma once

#include "camera/DriverCounts.h"
#include "nudp/NudpProtocol.h"

#include "capture/WireFigures.h"
#include "framegrab/model/PictureStats.h"
#include "framegrab/model/UtcTime.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fp {

// The one model of a run: what each image brought, the run's own facts, the sums and the
// verdict. Built once from what was counted (BuildModel); every view (text, JSON, pages,
// charts, metrics) only formats it.

// The kernel's receive buffer the driver needs to hold one whole image, in bytes: the figure a
// run's granted buffer is judged against.
extern const std::int32_t kImageReceiveBufferBytes;

// How a run ended, or that it goes on. kContactLost: the camera did not answer at the start;
// kOutage: contact was lost during the run and not regained within --give-up-after.
enum class RunEnd { kRunning, kImages, kDuration, kSignal, kContactLost, kOutage };
// "running", "images", "duration", "signal", "contact lost", "outage".
const char* RunEndName(RunEnd end);

// A span of the run without contact with the camera: from the last datagram heard from it to
// the answer that switched binning on again after it was reopened.
struct Outage {
  int number = 0;                // 1, 2, ... in the run
  UtcTime started{};             // the last datagram heard before contact was lost
  UtcTime ended{};               // contact regained; meaningful when `over`
  bool over = false;             // false while it lasts, and when the run ended in it
  double started_after_ms = 0;   // from the run's first start command; 0 when before it
  double duration_ms = 0;        // so far while it lasts
  int attempts = 0;              // reopenings tried
  std::vector<int> lost_images;  // images cut short by it
};

// How one image arrived, and what is in it.
struct ImageRecord {
  int number = 0;             // 1, 2, ... in the order taken
  bool complete = false;      // every packet in the image in the end
  int stream_packets = 0;     // stored from the stream the image was completed from
  int missing_packets = 0;    // what that stream left out, for recovery to fetch
  double image_ms = 0;        // from the start command to a whole image, recovery included
  double recovery_ms = 0;     // recovery alone; 0 when nothing was missing
  double ended_after_ms = 0;  // from the run's first start command to this image's end
  UtcTime started{};          // when the start command was sent
  UtcTime ended_utc{};        // when the image ended
  int outage = 0;             // the outage that cut it short, 0 for none
  std::string picture;        // the file name given to the writer, empty when none
  // Packets the image still lacks in the end (none when complete); zero in picture and preview.
  std::vector<RawPacketRange> missing_ranges;
  DriverCounts transfer;            // what the driver counted from the start command on (a capture:
                                    // the same things as its traffic shows them)
  DriverCounts since_open;          // what it had counted since the run's first Open, at the end
  PictureStats samples;             // what the image holds
  std::optional<WireFigures> wire;  // read from a capture: what only the capture tells
};

// The run's facts beyond its records: known once the camera is open, completed at the end.
struct RunFacts {
  std::string version;
  std::string capture;  // the capture file the run was read from; empty for a camera's run
  std::string local;
  std::string camera;
  std::string camera_id;  // the camera's identification text (the 0xEF answer); empty unknown
  UtcTime started{};      // the run's start, when the camera was opened
  int requested_images = 0;
  bool opened = false;  // the camera answered its first command
  RunEnd ended_by = RunEnd::kRunning;
  int interrupt_status = 0;  // 128 + the signal that ended the run, else 0
  double elapsed_ms = 0;     // first start command to the end of the last image
  double cpu_user_ms = 0;    // the whole process, during the run
  double cpu_system_ms = 0;
  std::int64_t receive_buffer_bytes = -1;  // granted to the camera socket; -1 unknown
  DriverCounts driver;  // counted by the driver since the camera was first opened, reopenings too
  std::optional<std::int64_t> rcvbuf_errors_before;  // the kernel's UDP RcvbufErrors
  std::optional<std::int64_t> rcvbuf_errors_after;
  // Pictures: how they are written ("png" or "tiff"; empty when none are), what is done when
  // the writer is behind ("wait" or "skip"), and how it went.
  std::string picture_format;
  std::string when_behind;
  int saved_pictures = 0;
  int unsaved_pictures = 0;   // left out because the writer was behind
  int failed_pictures = 0;    // could not be written
  int saving_stopped_at = 0;  // the image whose picture found the file system full, 0 = none
  std::string saving_stopped_reason;
  int unsaved_after_stop_pictures = 0;  // not saved because saving had stopped
  double writer_wait_ms = 0;            // acquisition waiting for the writer
  // The first failure to write the driver's logs, "" when none.
  std::string log_failure;
  std::vector<Outage> outages;
};

// Sums over the records, kept up to date as each record is filed.
struct RunTotals {
  int images = 0;
  int complete_images = 0;
  int incomplete_images = 0;
  int images_without_stream = 0;   // not one packet from the stream
  int images_lost_to_outages = 0;  // cut short by an outage, counted in incomplete_images too
  std::int64_t stream_packets = 0;
  std::int64_t missing_packets = 0;
  DriverCounts transfers;  // the images' transfer counts summed
  std::int64_t saturated_samples = 0;
  std::int64_t zero_samples = 0;
  // From a capture: the packets the driver lacked after the stream, by where they were lost.
  std::int64_t lost_before_host = 0;
  std::int64_t lost_in_host = 0;
  std::int64_t loss_bursts = 0;
  int largest_burst = 0;

  void Add(const ImageRecord& record);
};

// The records of a run in filing order, as chunks that never change once full: a copy shares
// them, so taking one costs a few pointers whatever the run's length.
class RecordList {
 public:
  static constexpr std::size_t kChunk = 256;
  using Chunk = std::vector<ImageRecord>;

  RecordList() = default;
  RecordList(std::vector<std::shared_ptr<const Chunk>> full, std::shared_ptr<const Chunk> open);

  std::size_t Size() const { return _size; }
  bool Empty() const { return _size == 0; }
  // The last record; only when not empty.
  const ImageRecord& Back() const;
  template <typename F>
  void ForEach(F&& f) const {
    for (const auto& chunk : _full) {
      for (const ImageRecord& r : *chunk) f(r);
    }
    if (_open) {
      for (const ImageRecord& r : *_open) f(r);
    }
  }
  // `f` for each of at most `count` records from the `from`-th (0 for the first), reached
  // through their chunks: the records before cost nothing.
  template <typename F>
  void ForRange(std::size_t from, std::size_t count, F&& f) const {
    const std::size_t end = count < _size - std::min(from, _size) ? from + count : _size;
    for (std::size_t i = from; i < end; ++i) {
      const std::size_t chunk = i / kChunk;
      f(chunk < _full.size() ? (*_full[chunk])[i % kChunk] : (*_open)[i - _full.size() * kChunk]);
    }
  }

 private:
  std::vector<std::shared_ptr<const Chunk>> _full;
  std::shared_ptr<const Chunk> _open;
  std::size_t _size = 0;
};

// How long one kind of command took to be answered over a run read from a capture.
struct AnswerTimes {
  std::string name;  // CommandName
  int commands = 0;
  int unanswered = 0;
  double median_ms = 0;
  double max_ms = 0;
};

// What only a capture tells of the whole run.
struct WireSummary {
  // Loss bursts by size: 1, 2 to 9, 10 to 99, 100 or more packets.
  std::array<std::int64_t, 4> burst_sizes{};
  double stream_mbit_median = 0;  // over the images with a stream to time
  double stream_mbit_min = 0;
  StreamGap longest_gap;  // in any image's stream
  int longest_gap_image = 0;
  std::vector<AnswerTimes> answers;  // by kind, in the order first sent
};

// The figures derived from the records and facts, and the verdict.
struct RunSummary {
  double image_median_ms = 0;
  double image_p99_ms = 0;
  double image_max_ms = 0;
  double images_per_s = 0;
  std::int64_t stream_expected_packets = 0;  // images x 8248
  double missing_share = 0;                  // of stream_expected_packets, 0 to 1
  double recovery_median_ms = 0;             // over images that needed recovery
  double recovery_max_ms = 0;
  double cpu_user_ms_per_image = 0;
  double cpu_system_ms_per_image = 0;
  double outage_total_ms = 0;  // all outages, the one going on included
  double outage_max_ms = 0;
  std::optional<std::int64_t> kernel_drops;  // RcvbufErrors after minus before
  std::optional<WireSummary> wire;           // read from a capture
  std::vector<std::string> diagnoses;
  int exit_status = 0;
};

struct RunModel {
  RunFacts facts;
  RecordList images;
  RunTotals totals;
  RunSummary summary;

  bool Running() const { return facts.ended_by == RunEnd::kRunning; }
  // The newest record, or null before the first.
  const ImageRecord* Latest() const { return images.Empty() ? nullptr : &images.Back(); }
};

// What a progress display shows, from the sums and the time so far.
struct RunProgress {
  int done = 0;
  int requested = 0;
  int incomplete = 0;
  double images_per_s = 0;
  double missing_share = 0;  // of the packets the images done should have streamed, 0 to 1
  std::int64_t fetched_again_packets = 0;
  double elapsed_ms = 0;
  double remaining_ms = 0;  // at the rate so far, within the time limit (0 = none)
  int outages = 0;
  int saved_pictures = 0;
  int unsaved_pictures = 0;
  int failed_pictures = 0;
};
RunProgress ProgressOf(const RunTotals& totals, const RunFacts& facts, double duration_ms,
                       double elapsed_ms);

// "3.4 s".
std::string FormatDuration(double ms);
// The packets an image lacks in the end.
int MissingPackets(const ImageRecord& record);

// The worst of several runs' exit statuses, as a station's: an interrupt's (128 + the signal)
// before any other, then 3 (no contact), 1 (an image incomplete, an output not written), 4
// (outages ridden out), 0. `worst` gets the index of the first run with it (0 when none).
int WorstExitStatus(const std::vector<const RunModel*>& runs, std::size_t* worst = nullptr);

// The model of the records so far, with their totals (as RunTotals::Add summed them) and the
// facts: percentiles, rates and shares, the diagnoses and the exit status.
RunModel BuildModel(RunFacts facts, RecordList images, RunTotals totals);

}  // namespace fp
