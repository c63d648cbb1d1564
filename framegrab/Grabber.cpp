#include "framegrab/Grabber.h"

#include "camera/CEthCamera.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "framegrab/HostCounters.h"
#include "framegrab/ImageAnalyser.h"
#include "framegrab/ImagePool.h"
#include "framegrab/JsonView.h"
#include "framegrab/PictureSaver.h"
#include "framegrab/PreviewWorker.h"
#include "framegrab/ProgressLine.h"
#include "framegrab/RecordLines.h"
#include "framegrab/RunRecords.h"

#include <algorithm>
#include <cstring>

namespace fp {

namespace {

// Digits enough for every image number of the run, at least 6.
int NumberDigits(int images) {
  int digits = 1;
  for (int n = images; n >= 10; n /= 10) ++digits;
  return std::max(6, digits);
}

double MsBetween(std::chrono::steady_clock::time_point from,
                 std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

Grabber::Grabber(const GrabOptions& options, RunRecords& records, ProgressLine* progress,
                 std::FILE* err, const std::atomic<int>* stop_signal, PreviewWorker* preview)
    : _options(options),
      _records(records),
      _progress(progress),
      _err(err),
      _stop_signal(stop_signal),
      _preview(preview) {}

Grabber::~Grabber() = default;

bool Grabber::OpenCamera(RunFacts& facts) {
  try {
    _camera = std::make_unique<CEthCamera>(_options.local);
  } catch (const char* text) {
    std::fprintf(_err, "framegrab: %s\n", text);
    return false;
  }
  if (!_options.logs_dir.empty()) {
    // The first failed write of either log: one line now, and the run's status at the end.
    _camera->SetLogFailureReport([this](const std::string& file, int error) {
      std::lock_guard<std::mutex> lock(_log_failure_mutex);
      if (!_log_failure.empty()) return;
      _log_failure = "cannot write " + file + ": " + std::strerror(error);
      std::fprintf(_err, "framegrab: --logs: %s\n", _log_failure.c_str());
    });
    constexpr LogStream::AtLink kRefuse = LogStream::AtLink::kRefuse;
    if (!_camera->OpenLog(_options.logs_dir + "/log.txt", kRefuse)) {
      std::fprintf(_err, "framegrab: cannot open %s/log.txt\n", _options.logs_dir.c_str());
    }
    if (!_camera->OpenErrLog(_options.logs_dir + "/log_err.txt", kRefuse)) {
      std::fprintf(_err, "framegrab: cannot open %s/log_err.txt\n", _options.logs_dir.c_str());
    }
  }
  if (!_camera->Open(_options.remote)) {
    std::fprintf(_err, "framegrab: cannot open a connection to %s\n", _options.remote.c_str());
    return false;
  }
  facts.camera = _camera->GetRemoteAddress();
  if (!_camera->SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND)) {
    std::fprintf(_err, "framegrab: the camera at %s does not answer (binning on: contact lost)\n",
                 facts.camera.c_str());
    return false;
  }
  facts.receive_buffer_bytes = _camera->Counters().receive_buffer_bytes;
  return true;
}

const ImageRecord* Grabber::TakeImage(int number, Clock::time_point run_start) {
  if (!_camera->SetRawDataBuffer(_image.get())) {
    std::fprintf(_err, "framegrab: image %d: the camera refused the image buffer\n", number);
    return nullptr;
  }
  const Clock::time_point start = Clock::now();
  if (!_camera->SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND)) {
    std::fprintf(_err, "framegrab: image %d: the camera does not answer the start command\n",
                 number);
    return nullptr;
  }
  // The image before goes on only now: whatever its writer, preview and analyser do then runs
  // while this image streams in, rather than in the short gap between two images, where it
  // would hold up the driver's threads.
  HandOver();
  ImageRecord r;
  r.number = number;
  r.complete = _camera->WaitForRawData();
  r.stream_packets = _camera->Nudp().RawCount();
  if (!r.complete) {
    r.missing_packets = RAW_PACKETS_PER_IMAGE - r.stream_packets;
    const Clock::time_point recovery = Clock::now();
    r.complete = _camera->ReadMissing(_image.get());
    r.recovery_ms = MsBetween(recovery, Clock::now());
  }
  if (!r.complete) {
    // What the buffer holds in the places still missing is an earlier image's, or a copy nobody
    // vouches for: zeros instead, so that no picture or preview passes it off as this image.
    r.missing_ranges = _camera->MissingRanges();
    for (const RawPacketRange& range : r.missing_ranges) {
      std::memset(_image.get() + static_cast<std::size_t>(range.first) * RAW_PACKET_DATA_LENGTH, 0,
                  static_cast<std::size_t>(range.Count()) * RAW_PACKET_DATA_LENGTH);
    }
  }
  const Clock::time_point end = Clock::now();
  r.ended_utc = std::chrono::system_clock::now();
  r.image_ms = MsBetween(start, end);
  r.ended_after_ms = MsBetween(run_start, end);
  const DriverCounters counters = _camera->Counters();
  r.transfer = counters.last_transfer;
  r.since_open = counters.since_open;
  if (_saver && (number - 1) % _options.save_every == 0 &&
      _saver->Reserve() == PictureSaver::Offered::kQueued) {
    r.picture = _saver->FileName(number, !r.complete);
  }
  WriteLine(r);
  _taken = std::move(r);
  _taken_image = std::move(_image);
  // The pool holds a buffer for each place an image can wait in, so one is free; should it not
  // be, the analyser lets go of its two once it has caught up.
  _image = _pool->Take();
  if (!_image) {
    _analyser->Flush();
    _image = _pool->Take();
  }
  return &*_taken;
}

void Grabber::WriteLine(const ImageRecord& record) {
  if (_lines == nullptr || _lines->Append(ImageLine(record)) || _lines_failed) return;
  _lines_failed = true;
  std::fprintf(_err, "framegrab: --records %s: %s; no more lines are written\n",
               _lines->Path().c_str(), _lines->Failure().c_str());
}

void Grabber::HandOver() {
  if (!_taken) return;
  ImageRecord record = std::move(*_taken);
  _taken.reset();
  const int number = record.number;
  if (!record.picture.empty()) {
    _saver->Fill(_taken_image, PictureTags{number, record.complete, record.ended_utc});
  }
  if (_preview != nullptr) {
    _last_missing = MissingPackets(record);
    if (_preview->WantsImage()) _preview->Offer(_taken_image, number, _last_missing);
    _last = _taken_image;
    _last_number = number;
  }
  _analyser->Offer(std::move(record), std::move(_taken_image));
}

std::shared_ptr<const std::uint8_t[]> Grabber::LastImage(int& number, int& missing) const {
  number = _last_number;
  missing = _last_missing;
  return _last;
}

void Grabber::PrintSaverErrors() {
  if (!_saver) return;
  for (const std::string& line : _saver->TakeErrors()) {
    std::fprintf(_err, "framegrab: %s\n", line.c_str());
  }
}

void Grabber::AddPictureFacts(RunFacts& facts) const {
  const PictureCounts counts = _saver->Counts();
  facts.saved_pictures = counts.saved;
  facts.unsaved_pictures = counts.skipped;
  facts.failed_pictures = counts.failed;
  facts.saving_stopped_at = counts.stopped_at;
  facts.saving_stopped_reason = counts.stopped_reason;
  facts.unsaved_after_stop_pictures = counts.unsaved_after_stop;
  facts.writer_wait_ms = counts.waited_ms;
}

RunFacts Grabber::Run() {
  RunFacts facts;
  facts.version = FRAMEGRAB_VERSION;
  facts.local = _options.local;
  facts.camera = _options.remote;
  facts.requested_images = _options.images;
  if (!OpenCamera(facts)) {
    facts.ended_by = RunEnd::kContactLost;
    if (_camera) facts.driver = _camera->Counters().since_open;
    return facts;
  }
  facts.opened = true;
  // The image taken last and the one to take into; two for the analyser (one analysed, one
  // waiting) and two for the writer; for the preview the one waiting, the one previewed and the
  // one shown. The writer holds the image it writes and those queued: two in all when it may
  // skip, or as many as memory allows when every image is kept, those beyond two made as
  // needed.
  const bool save = !_options.save_dir.empty();
  const int queue =
      _options.when_behind == WhenBehind::kWait ? PictureQueueImages() : /*one waits=*/1;
  const int buffers = 4 + (save ? 2 : 0) + (_preview != nullptr ? 3 : 0);
  _pool = std::make_unique<ImagePool>(buffers, buffers + (save ? queue - 1 : 0));
  _image = _pool->Take();
  if (save) {
    _saver = std::make_unique<PictureSaver>(std::move(_pictures_dir), _options.width,
                                            NumberDigits(_options.images), _options.format,
                                            _options.when_behind, queue);
    facts.picture_format = PictureFormatName(_options.format);
    facts.when_behind = WhenBehindName(_options.when_behind);
  }
  _analyser = std::make_unique<ImageAnalyser>(_records);

  facts.rcvbuf_errors_before = ReadRcvbufErrors();
  const ProcessorTime cpu_before = ReadProcessorTime();
  _records.Begin(facts);
  const Clock::time_point start = Clock::now();
  const double limit_ms = _options.duration_seconds * 1e3;
  facts.ended_by = RunEnd::kImages;
  for (int number = 1; number <= _options.images; ++number) {
    if (_stop_signal != nullptr && _stop_signal->load() != 0) {
      facts.ended_by = RunEnd::kSignal;
      break;
    }
    if (limit_ms > 0 && MsBetween(start, Clock::now()) >= limit_ms) {
      facts.ended_by = RunEnd::kDuration;
      break;
    }
    const ImageRecord* record = TakeImage(number, start);
    if (record != nullptr && _progress != nullptr) {
      const RunProgress progress =
          ProgressOf(_records.Totals(), _options.images, limit_ms, MsBetween(start, Clock::now()));
      _progress->Update(*record, progress);
    }
    PrintSaverErrors();
    if (!record || !_camera->Connected()) {
      if (record) std::fprintf(_err, "framegrab: image %d: contact with the camera lost\n", number);
      facts.ended_by = RunEnd::kContactLost;
      break;
    }
  }
  const Clock::time_point end = Clock::now();
  const ProcessorTime cpu_after = ReadProcessorTime();
  facts.rcvbuf_errors_after = ReadRcvbufErrors();
  facts.elapsed_ms = MsBetween(start, end);
  facts.cpu_user_ms = cpu_after.user_ms - cpu_before.user_ms;
  facts.cpu_system_ms = cpu_after.system_ms - cpu_before.system_ms;
  HandOver();
  _analyser->Flush();
  if (_progress != nullptr) {
    _progress->Finish(ProgressOf(_records.Totals(), _options.images, limit_ms, facts.elapsed_ms));
  }
  _camera->Close();
  // After the camera has closed, so that what came while it did is counted too.
  facts.driver = _camera->Counters().since_open;
  // Its logs written out and closed, so that every failed write of them is known.
  _camera.reset();
  {
    std::lock_guard<std::mutex> lock(_log_failure_mutex);
    facts.log_failure = _log_failure;
  }
  if (_saver) {
    _saver->Flush();
    PrintSaverErrors();
    AddPictureFacts(facts);
  }
  return facts;
}

}  // namespace fp
