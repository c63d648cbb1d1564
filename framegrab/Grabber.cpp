#include "framegrab/Grabber.h"

#include "camera/CEthCamera.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "framegrab/HostCounters.h"
#include "framegrab/ImagePool.h"
#include "framegrab/LiveState.h"
#include "framegrab/PngSaver.h"
#include "framegrab/ProgressLine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sys/socket.h>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

Grabber::Grabber(const GrabOptions& options, ProgressLine* progress, std::FILE* err,
                 const std::atomic<int>* stop_signal, LiveState* live)
    : _options(options), _progress(progress), _err(err), _stop_signal(stop_signal), _live(live) {}

Grabber::~Grabber() = default;

bool Grabber::OpenCamera(GrabReport& report) {
  try {
    _camera = std::make_unique<CEthCamera>(_options.local);
  } catch (const char* text) {
    std::fprintf(_err, "framegrab: %s\n", text);
    return false;
  }
  if (!_options.logs_dir.empty()) {
    if (!_camera->OpenLog(_options.logs_dir + "/log.txt")) {
      std::fprintf(_err, "framegrab: cannot open %s/log.txt\n", _options.logs_dir.c_str());
    }
    if (!_camera->OpenErrLog(_options.logs_dir + "/log_err.txt")) {
      std::fprintf(_err, "framegrab: cannot open %s/log_err.txt\n", _options.logs_dir.c_str());
    }
  }
  if (!_camera->Open(_options.remote)) {
    std::fprintf(_err, "framegrab: cannot open a connection to %s\n", _options.remote.c_str());
    return false;
  }
  report.camera = _camera->GetRemoteAddress();
  if (!_camera->SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND)) {
    std::fprintf(_err, "framegrab: the camera at %s does not answer (binning on: contact lost)\n",
                 report.camera.c_str());
    return false;
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  if (getsockopt(_camera->Nudp().GetDescriptor(), SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0) {
    report.receive_buffer_bytes = granted;
  }
  return true;
}

bool Grabber::TakeImage(int number, GrabReport& report) {
  NudpSocket& socket = _camera->Nudp();
  if (!_camera->SetRawDataBuffer(_image.get())) {
    std::fprintf(_err, "framegrab: image %d: the camera refused the image buffer\n", number);
    return false;
  }
  const std::uint64_t seen_before = socket.DatagramsSeen();
  const Clock::time_point start = Clock::now();
  if (!_camera->SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND)) {
    std::fprintf(_err, "framegrab: image %d: the camera does not answer the start command\n",
                 number);
    return false;
  }
  ImageRecord r;
  r.number = number;
  r.complete = _camera->WaitForRawData();
  r.stream_packets = socket.RawCount();
  // A stream without its last packet ends on silence and a status request, answered once.
  const int status_answers = socket.PacketStored(RAW_LAST_PACKET_INDEX) ? 0 : 1;
  if (!r.complete) {
    r.missing_packets = RAW_PACKETS_PER_IMAGE - r.stream_packets;
    const Clock::time_point recovery = Clock::now();
    r.complete = _camera->ReadMissing(_image.get());
    r.recovery_ms = MsBetween(recovery, Clock::now());
    if (r.complete) r.fetched_again_packets = r.missing_packets;
  }
  r.image_ms = MsBetween(start, Clock::now());
  r.conflicting_packets = static_cast<int>(socket.ConflictingDuplicates());
  if (!r.complete) {
    // What the buffer holds in the places still missing is an earlier image's, or a copy nobody
    // vouches for: zeros instead, so that no picture or preview passes it off as this image.
    r.missing_ranges = _camera->MissingRanges();
    for (const RawPacketRange& range : r.missing_ranges) {
      std::memset(_image.get() + static_cast<std::size_t>(range.first) * RAW_PACKET_DATA_LENGTH, 0,
                  static_cast<std::size_t>(range.Count()) * RAW_PACKET_DATA_LENGTH);
    }
  }
  // What the socket saw beyond the packets stored and the answers to the start command, the
  // status request and the retransmission requests.
  const auto seen = static_cast<std::int64_t>(socket.DatagramsSeen() - seen_before);
  const std::int64_t expected = r.stream_packets + r.fetched_again_packets + 1 + status_answers;
  r.duplicate_packets = static_cast<int>(std::max<std::int64_t>(0, seen - expected));
  ShareImage(r, report);
  report.images.push_back(r);
  if (!_camera->Connected()) {
    std::fprintf(_err, "framegrab: image %d: contact with the camera lost\n", number);
    return false;
  }
  return true;
}

void Grabber::ShareImage(ImageRecord& record, GrabReport& report) {
  if (_live != nullptr) {
    _last = _image;
    _last_number = record.number;
  }
  const bool picture = _saver && (record.number - 1) % _options.save_every == 0;
  const bool incomplete = !record.complete;
  const bool preview = _live != nullptr && _live->WantsImage();
  if (!picture && !preview) return;
  // The next image needs a buffer nobody else holds; without one, this image stays here.
  std::shared_ptr<std::uint8_t[]> next = _pool->Take();
  bool shared = false;
  if (picture) {
    if (next && _saver->Offer(_image, record.number, incomplete)) {
      record.picture = PngSaver::FileName(record.number, incomplete);
      shared = true;
    } else {
      ++report.unsaved_pictures;
    }
  }
  if (preview && next) {
    _live->OfferImage(_image, record.number, MissingPackets(record));
    shared = true;
  }
  if (shared) _image = std::move(next);  // else `next` goes back to the pool
}

std::shared_ptr<const std::uint8_t[]> Grabber::LastImage(int& number) const {
  number = _last_number;
  return _last;
}

void Grabber::PrintSaverErrors() {
  if (!_saver) return;
  for (const std::string& line : _saver->TakeErrors()) {
    std::fprintf(_err, "framegrab: %s\n", line.c_str());
  }
}

GrabReport Grabber::Run() {
  GrabReport report;
  report.version = FRAMEGRAB_VERSION;
  report.local = _options.local;
  report.camera = _options.remote;
  report.requested_images = _options.images;
  if (!OpenCamera(report)) {
    report.ended_by = "contact lost";
    return report;
  }
  report.opened = true;
  // One buffer to take into and one spare; two for the writer (one written, one waiting);
  // for the live state the last image, the one previewed and the one being previewed.
  const bool save = !_options.save_dir.empty();
  _pool = std::make_unique<ImagePool>(2 + (save ? 2 : 0) + (_live != nullptr ? 3 : 0));
  _image = _pool->Take();
  if (save) _saver = std::make_unique<PngSaver>(_options.save_dir, _options.width);

  report.rcvbuf_errors_before = ReadRcvbufErrors();
  const ProcessorTime cpu_before = ReadProcessorTime();
  if (_live != nullptr) _live->Begin(report);
  const Clock::time_point start = Clock::now();
  const double limit_ms = _options.duration_seconds * 1e3;
  for (int number = 1; number <= _options.images; ++number) {
    if (_stop_signal != nullptr && _stop_signal->load() != 0) {
      report.ended_by = "signal";
      break;
    }
    if (limit_ms > 0 && MsBetween(start, Clock::now()) >= limit_ms) {
      report.ended_by = "duration";
      break;
    }
    const bool went_on = TakeImage(number, report);
    const bool recorded = !report.images.empty() && report.images.back().number == number;
    if (_live != nullptr && recorded) {
      _live->AddImage(report.images.back(), MsBetween(start, Clock::now()));
    }
    PrintSaverErrors();
    if (_progress != nullptr && recorded) {
      _progress->Update(report, MsBetween(start, Clock::now()));
    }
    if (!went_on) {
      report.ended_by = "contact lost";
      break;
    }
  }
  const Clock::time_point end = Clock::now();
  const ProcessorTime cpu_after = ReadProcessorTime();
  report.rcvbuf_errors_after = ReadRcvbufErrors();
  report.elapsed_ms = MsBetween(start, end);
  report.cpu_user_ms = cpu_after.user_ms - cpu_before.user_ms;
  report.cpu_system_ms = cpu_after.system_ms - cpu_before.system_ms;
  if (_progress != nullptr) _progress->Finish(report, report.elapsed_ms);
  _camera->Close();
  if (_saver) {
    _saver->Flush();
    PrintSaverErrors();
    report.saved_pictures = _saver->Saved();
    report.failed_pictures = _saver->Failed();
  }
  return report;
}

}  // namespace fp
