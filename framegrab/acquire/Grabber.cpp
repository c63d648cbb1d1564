#include "framegrab/acquire/Grabber.h"

#include "camera/CEthCamera.h"
#include "net/LocalPorts.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "framegrab/acquire/ImagePool.h"
#include "framegrab/acquire/OutageRider.h"
#include "framegrab/model/HostCounters.h"
#include "framegrab/model/ImageAnalyser.h"
#include "framegrab/model/RunRecords.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/views/ProgressLine.h"
#include "framegrab/write/PictureSaver.h"
#include "framegrab/write/PreviewWorker.h"
#include "framegrab/write/RecordLines.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace fp {

namespace {

// How often a wait looks at the signal flag.
constexpr std::chrono::milliseconds kWaitSlice{50};

// The local ports the driver may take: the camera's socket (32100, or 32101 when taken) and
// the watchdog's, one above it.
const std::vector<int> kDriverPorts = {NUDP_DRIVER_PORT, NUDP_DRIVER_PORT + 1,
                                       NUDP_DRIVER_PORT + 2};

UtcTime UtcOf(std::chrono::steady_clock::time_point at) {
  const auto now_steady = std::chrono::steady_clock::now();
  return std::chrono::time_point_cast<UtcTime::duration>(std::chrono::system_clock::now() -
                                                         (now_steady - at));
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

void Grabber::Say(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // In a station each line names its camera; one write a line, whichever thread says it.
  const std::string& camera = _options.station_camera;
  const std::string line =
      "framegrab: " + (camera.empty() ? std::string() : "camera " + camera + ": ") + text;
  std::fputs(line.c_str(), _err);
}

void Grabber::SayWhoHoldsThePorts() {
  for (const std::string& line : TakenPorts(_options.local, kDriverPorts)) {
    Say("%s\n", line.c_str());
  }
}

bool Grabber::MakeCamera() {
  try {
    _camera = std::make_unique<CEthCamera>(_options.local);
  } catch (const char* text) {
    Say("%s\n", text);
    SayWhoHoldsThePorts();
    return false;
  }
  if (_options.logs_dir.empty()) return true;
  // The first failed write of either log: one line now, and the run's status at the end.
  _camera->SetLogFailureReport([this](const std::string& file, int error) {
    MutexLock lock(_log_failure_mutex);
    if (!_log_failure.empty()) return;
    _log_failure = "cannot write " + file + ": " + std::strerror(error);
    Say("--logs: %s\n", _log_failure.c_str());
  });
  constexpr LogStream::AtLink kRefuse = LogStream::AtLink::kRefuse;
  if (!_options.logs_errors_only && !_camera->OpenLog(_options.logs_dir + "/log.txt", kRefuse)) {
    Say("cannot open %s/log.txt\n", _options.logs_dir.c_str());
  }
  if (!_camera->OpenErrLog(_options.logs_dir + "/log_err.txt", kRefuse)) {
    Say("cannot open %s/log_err.txt\n", _options.logs_dir.c_str());
  }
  return true;
}

bool Grabber::OpenCamera(RunFacts& facts) {
  if (!MakeCamera()) return false;
  // The ports are this program's own here: no holder to name.
  if (!_camera->Open(_options.remote)) {
    Say("cannot open a connection to %s\n", _options.remote.c_str());
    return false;
  }
  facts.camera = _camera->GetRemoteAddress();
  if (!_camera->SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND)) {
    Say("the camera at %s does not answer (binning on: contact lost)\n", facts.camera.c_str());
    // With 32100 taken by another program the driver sends from the port above it, which a
    // camera that answers only 32100 never answers: say who holds it.
    const std::string own = "(pid " + std::to_string(::getpid()) + ")";
    for (const std::string& line : TakenPorts(_options.local, {NUDP_DRIVER_PORT})) {
      if (line.find(own) != std::string::npos) continue;
      Say("the driver sends from %s:%d, as %s; a camera that answers only port %d does not "
          "answer it\n",
          _options.local.c_str(), NUDP_DRIVER_PORT + 1, line.c_str(), NUDP_DRIVER_PORT);
    }
    return false;
  }
  facts.receive_buffer_bytes = _camera->Counters().receive_buffer_bytes;
  facts.camera_id = CameraId();
  return true;
}

std::string Grabber::CameraId() {
  std::uint8_t id[NUDP_MAX_DATA_LENGTH] = {};
  std::uint32_t length = 0;
  if (!_camera->SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND, nullptr, id, &length, sizeof id)) {
    return "";
  }
  return std::string(NudpIdText(id, std::min<std::size_t>(length, sizeof id)));
}

bool Grabber::Reopen() {
  if (_camera->Connected()) _camera->Close();
  _closed_counts.Add(_camera->Counters().since_open);
  return _camera->Open(_options.remote) && _camera->SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND);
}

bool Grabber::ContactLost() const { return !_camera->Connected() || !_camera->WatchdogRunning(); }

DriverCounts Grabber::DriverTotal() const {
  DriverCounts total = _closed_counts;
  total.Add(_camera->Counters().since_open);
  return total;
}

RunEnd Grabber::Limit(Clock::time_point run_start) const {
  if (_stop_signal != nullptr && _stop_signal->load() != 0) return RunEnd::kSignal;
  const double limit_ms = _options.duration_seconds * 1e3;
  if (limit_ms > 0 && MsBetween(run_start, Clock::now()) >= limit_ms) return RunEnd::kDuration;
  return RunEnd::kRunning;
}

bool Grabber::RideOutOutage(RunFacts& facts, Clock::time_point run_start, int lost_image) {
  // Contact may have gone before the first image, after the answers that opened the camera.
  const Clock::time_point last_heard = _camera->Nudp().LastHeard();
  Outage outage;
  outage.number = static_cast<int>(facts.outages.size()) + 1;
  outage.started = UtcOf(last_heard);
  outage.started_after_ms = std::max(0.0, MsBetween(run_start, last_heard));
  if (lost_image != 0) outage.lost_images.push_back(lost_image);
  const std::string lost =
      lost_image != 0 ? " (image " + std::to_string(lost_image) + " cut short)" : std::string();
  Say("outage %d: contact with the camera lost at %s%s; reopening it every "
      "%.1f s, after %lld s with pauses doubling up to %lld s\n",
      outage.number, UtcText(outage.started).c_str(), lost.c_str(),
      std::chrono::duration<double>(OutageRider::kFirstPause).count(),
      static_cast<long long>(OutageRider::kShortOutage.count() / 1000),
      static_cast<long long>(OutageRider::kLongestPause.count() / 1000));
  std::fflush(_err);
  facts.outages.push_back(outage);
  // The outage as it stands at `now`, for the page and the figures.
  const auto publish = [&](Clock::time_point now) {
    facts.outages.back().duration_ms = MsBetween(last_heard, now);
    _records.UpdateFacts([&facts](RunFacts& f) { f.outages = facts.outages; });
  };
  publish(Clock::now());

  OutageRider rider(last_heard, Clock::now(),
                    std::chrono::duration<double>(_options.give_up_after_seconds));
  for (;;) {
    if (const RunEnd end = Limit(run_start); end != RunEnd::kRunning) {
      facts.ended_by = end;
      break;
    }
    const Clock::time_point now = Clock::now();
    const OutageRider::Step step = rider.At(now);
    if (step == OutageRider::Step::kGiveUp) {
      facts.ended_by = RunEnd::kOutage;
      Say("outage %d: no contact for %s; giving up (--give-up-after)\n", outage.number,
          FormatDuration(MsBetween(last_heard, now)).c_str());
      break;
    }
    if (step == OutageRider::Step::kWait) {
      std::this_thread::sleep_for(std::min<Clock::duration>(kWaitSlice, rider.Next() - now));
      continue;
    }
    ++facts.outages.back().attempts;
    if (Reopen()) {
      Outage& o = facts.outages.back();
      const Clock::time_point back = Clock::now();
      o.over = true;
      o.ended = UtcOf(back);
      publish(back);
      Say("outage %d over at %s after %s (%d reopenings); going on\n", o.number,
          UtcText(o.ended).c_str(), FormatDuration(o.duration_ms).c_str(), o.attempts);
      std::fflush(_err);
      WriteLine(OutageLine(o, facts.camera));
      return true;
    }
    publish(Clock::now());
    rider.Failed(Clock::now());
  }
  publish(Clock::now());
  WriteLine(OutageLine(facts.outages.back(), facts.camera));
  return false;
}

void Grabber::NotePictures(RunFacts& facts) {
  if (!_saver) return;
  const PictureCounts counts = _saver->Counts();
  PutPictureCounts(counts, facts);
  _records.UpdateFacts([&counts](RunFacts& f) { PutPictureCounts(counts, f); });
}

const ImageRecord* Grabber::TakeImage(int number, Clock::time_point run_start) {
  ImageRecord r;
  // The image before goes on only once this one has started: whatever its writer, preview and
  // analyser do then runs while this image streams in, rather than in the short gap between two
  // images, where it would hold up the driver's threads.
  TakenImage taken = _camera->TakeImage({_image.get(), RAW_IMAGE_SIZE}, nullptr, [&] {
    HandOver();
    r.started = std::chrono::system_clock::now();
  });
  if (taken.start == TakenImage::Start::kBufferRefused) {
    Say("image %d: the camera refused the image buffer\n", number);
    return nullptr;
  }
  if (!taken.Started()) {
    Say("image %d: the camera does not answer the start command\n", number);
    return nullptr;
  }
  r.number = number;
  r.complete = taken.complete;
  r.stream_packets = taken.stream_packets;
  r.missing_packets = taken.LostPackets();
  r.recovery_ms = taken.recovery_ms;
  if (!r.complete) {
    // What the buffer holds in the places still missing is an earlier image's, or a copy nobody
    // vouches for: zeros instead, so that no picture or preview passes it off as this image.
    r.missing_ranges = std::move(taken.missing);
    for (const RawPacketRange& range : r.missing_ranges) {
      std::memset(_image.get() + static_cast<std::size_t>(range.first) * RAW_PACKET_DATA_LENGTH, 0,
                  static_cast<std::size_t>(range.Count()) * RAW_PACKET_DATA_LENGTH);
    }
  }
  r.ended_utc = std::chrono::system_clock::now();
  r.image_ms = taken.image_ms;
  r.ended_after_ms = MsBetween(run_start, taken.ended);
  r.transfer = taken.transfer;
  r.since_open = DriverTotal();
  if (_saver && (number - 1) % _options.save_every == 0 &&
      _saver->Reserve() == PictureSaver::Offered::kQueued) {
    r.picture = _saver->FileName(number, !r.complete);
  }
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

void Grabber::WriteLine(const std::string& line) {
  if (_lines == nullptr || _lines->Append(line) || _lines_failed) return;
  _lines_failed = true;
  Say("--records %s: %s; no more lines are written\n", _lines->Path().c_str(),
      _lines->Failure().c_str());
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

SharedImage Grabber::LastImage(int& number, int& missing) const {
  number = _last_number;
  missing = _last_missing;
  return _last;
}

void Grabber::PrintSaverErrors() {
  if (!_saver) return;
  for (const std::string& line : _saver->TakeErrors()) {
    Say("%s\n", line.c_str());
  }
}

RunFacts Grabber::Run() {
  RunFacts facts;
  facts.version = FRAMEGRAB_VERSION;
  facts.local = _options.local;
  facts.camera = _options.remote;
  facts.requested_images = _options.images;
  facts.started = std::chrono::system_clock::now();
  const bool opened = OpenCamera(facts);
  WriteLine(RunStartLine(facts, _command_line));
  if (!opened) {
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
                                            PictureNumberDigits(_options.images), _options.format,
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
  for (int number = 1; number <= _options.images;) {
    if (const RunEnd end = Limit(start); end != RunEnd::kRunning) {
      facts.ended_by = end;
      break;
    }
    const ImageRecord* record = TakeImage(number, start);
    const bool lost = ContactLost();
    int cut_short = 0;
    if (record != nullptr) {
      // An image the outage cut short is filed as it came; one that never started is taken
      // again under its number once the camera is back.
      if (lost && !record->complete) {
        _taken->outage = static_cast<int>(facts.outages.size()) + 1;
        cut_short = number;
      }
      WriteLine(ImageLine(*record, facts.camera));
      if (_progress != nullptr) {
        const RunProgress progress =
            ProgressOf(_records.Totals(), facts, limit_ms, MsBetween(start, Clock::now()));
        _progress->Update(*record, progress);
      }
      ++number;
    }
    PrintSaverErrors();
    NotePictures(facts);
    if (lost || record == nullptr) {
      // The image before is filed now rather than after the outage.
      HandOver();
      if (!RideOutOutage(facts, start, cut_short)) break;
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
  _camera->Close();
  // After the camera has closed, so that what came while it did is counted too.
  facts.driver = DriverTotal();
  // Its logs written out and closed, so that every failed write of them is known.
  _camera.reset();
  {
    MutexLock lock(_log_failure_mutex);
    facts.log_failure = _log_failure;
  }
  if (_saver) {
    _saver->Flush();
    PrintSaverErrors();
    NotePictures(facts);
  }
  if (_progress != nullptr) {
    _progress->Finish(ProgressOf(_records.Totals(), facts, limit_ms, facts.elapsed_ms));
  }
  return facts;
}

}  // namespace fp
