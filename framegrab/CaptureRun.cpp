#include "framegrab/CaptureRun.h"

#include "capture/CaptureFile.h"
#include "capture/NudpConversation.h"
#include "framegrab/RunOutputs.h"
#include "framegrab/acquire/FromCapture.h"
#include "framegrab/acquire/ImagePool.h"
#include "framegrab/model/ImageAnalyser.h"
#include "framegrab/model/RunRecords.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/write/PictureSaver.h"
#include "framegrab/write/PreviewWorker.h"
#include "framegrab/write/RecordLines.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace fp {

namespace {

// What the first reading of a capture found: its cameras in the order they first appear, or
// why it cannot be used.
struct CaptureScan {
  std::vector<std::uint32_t> cameras;
  int most_images = 0;  // start commands sent to one camera, repetitions left out
  std::string problem;  // empty when it can be used
};

// Reads the whole capture once: it must be whole, keep whole frames and hold NUDP.
CaptureScan ScanCapture(const std::string& path) {
  CaptureScan scan;
  CaptureFile file;
  if (!file.Open(path, scan.problem)) return scan;
  CapturedDatagram d;
  std::map<std::uint32_t, std::uint64_t> last_command;  // per camera, its header's bytes 0-7
  std::map<std::uint32_t, int> starts;
  for (;;) {
    const CaptureFile::Step step = file.Next(d);
    if (step == CaptureFile::Step::kEnd) break;
    if (step == CaptureFile::Step::kDamaged) {
      scan.problem = DamagedCapture(file);
      return scan;
    }
    WireEnd camera;
    bool to_camera = false;
    if (!NudpCameraOf(d, camera, to_camera)) continue;
    if (std::find(scan.cameras.begin(), scan.cameras.end(), camera.ip) == scan.cameras.end()) {
      scan.cameras.push_back(camera.ip);
    }
    if (!to_camera) continue;
    std::uint64_t header = 0;
    std::memcpy(&header, d.payload, sizeof header);
    const bool start = (d.payload[2] & NUDP_TOP_MASK) != NUDP_TOP_RETRANSMIT &&
                       IsStartRawCommand(ReadNumberField(d.payload));
    if (start && last_command[camera.ip] != header) {
      scan.most_images = std::max(scan.most_images, ++starts[camera.ip]);
    }
    last_command[camera.ip] = header;
  }
  scan.problem = UnusableCapture(file, scan.cameras.size());
  return scan;
}

// `path` with the camera's address before its extension: run.json, 10.0.0.2 -> run-10.0.0.2.json.
std::string WithCamera(const std::string& path, const std::string& camera) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool has_extension =
      dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
  if (!has_extension) return path + "-" + camera;
  return path.substr(0, dot) + "-" + camera + path.substr(dot);
}

// One camera of the capture as a run of its own: its records, analyser, writers and files.
struct CameraRun {
  std::string address;  // the camera's, as text
  RunFacts facts;
  RunRecords records;
  std::unique_ptr<ImageAnalyser> analyser;
  OutputDir pictures_dir;
  std::unique_ptr<PictureSaver> saver;
  std::unique_ptr<PreviewWorker> preview;
  RecordLines lines;
  std::string lines_path;
  bool lines_failed = false;
  FinalFile json;
  FinalFile report;
  bool begun = false;
  std::int64_t run_start_ns = 0;
  std::int64_t last_ended_ns = 0;
  int found_images = 0;
  DriverCounts total;
  SharedImage last;
  int last_number = 0;
  int last_missing = 0;

  void WriteLine(const std::string& line, std::FILE* err) {
    if (lines_path.empty() || lines.Append(line) || lines_failed) return;
    lines_failed = true;
    std::fprintf(err, "framegrab: --records %s: %s; no more lines are written\n",
                 lines_path.c_str(), lines.Failure().c_str());
  }
};

// Makes every file of `run` ready before anything is read; false with a message when one
// cannot be. `several`: the capture holds more than one camera.
bool PrepareOutputs(const GrabOptions& options, bool several, CameraRun& run, std::FILE* err) {
  const auto named = [&](const std::string& path) {
    return several ? WithCamera(path, run.address) : path;
  };
  if (!options.save_dir.empty()) {
    const std::string dir = several ? options.save_dir + "/" + run.address : options.save_dir;
    if (!PreparePictureDir(dir, run.pictures_dir, err)) return false;
  }
  if (!options.json_path.empty() && options.json_path != "-" &&
      !run.json.Prepare("--json", named(options.json_path), err)) {
    return false;
  }
  if (!options.report_path.empty() &&
      !run.report.Prepare("--report", named(options.report_path), err)) {
    return false;
  }
  if (!options.records_path.empty()) {
    run.lines_path = named(options.records_path);
    std::string why;
    if (!run.lines.Open(run.lines_path, why)) {
      std::fprintf(err, "framegrab: --records %s: %s\n", run.lines_path.c_str(), why.c_str());
      return false;
    }
  }
  return true;
}

class CaptureReading {
 public:
  CaptureReading(const GrabOptions& options, std::string command_line, int most_images,
                 std::FILE* err)
      : _options(options),
        _command_line(std::move(command_line)),
        _digits(PictureNumberDigits(std::min(options.images, most_images))),
        _err(err) {}

  // The runs, one per camera, ready to be filled; false (with a message) when an output cannot
  // be made.
  bool Prepare(const std::vector<std::uint32_t>& cameras) {
    const bool several = cameras.size() > 1;
    const bool save = !_options.save_dir.empty();
    const int queue = _options.when_behind == WhenBehind::kWait ? PictureQueueImages() : 1;
    int buffers = 2;  // one being rebuilt, one spare
    int most = 2;
    for (const std::uint32_t ip : cameras) {
      auto run = std::make_unique<CameraRun>();
      run->address = Ipv4Text(ip);
      if (!PrepareOutputs(_options, several, *run, _err)) return false;
      run->analyser = std::make_unique<ImageAnalyser>(run->records);
      if (!_options.report_path.empty()) {
        run->preview = std::make_unique<PreviewWorker>(_options.width);
      }
      // As a camera's run holds them: two for the analyser, two for the writer (its queue
      // beyond as memory allows), three for the preview.
      const int held = 2 + (save ? 2 : 0) + (run->preview ? 3 : 0);
      buffers += held;
      most += held + (save ? queue - 1 : 0);
      _runs.emplace(ip, std::move(run));
    }
    _pool = std::make_unique<ImagePool>(buffers, most);
    return true;
  }

  // Reads the capture again, rebuilding each camera's images and filing them; stops early when
  // `*stop_signal` is set. False with a message when the file fails on this reading.
  bool Read(const std::atomic<int>* stop_signal) {
    CaptureFile file;
    std::string why;
    if (!file.Open(_options.capture_path, why)) {
      std::fprintf(_err, "framegrab: --from-capture %s: %s\n", _options.capture_path.c_str(),
                   why.c_str());
      return false;
    }
    ConversationBuilder builder(
        [this](const Conversation& c, CapturedImage&& image) { File(c, std::move(image)); },
        [this] { return Buffer(); });
    CapturedDatagram d;
    for (std::uint64_t n = 0;; ++n) {
      if (n % 4096 == 0 && stop_signal != nullptr && stop_signal->load() != 0) {
        _stopped = true;
        break;
      }
      const CaptureFile::Step step = file.Next(d);
      if (step == CaptureFile::Step::kEnd) break;
      if (step == CaptureFile::Step::kDamaged) {
        std::fprintf(_err, "framegrab: --from-capture %s: %s\n", _options.capture_path.c_str(),
                     file.Error().c_str());
        return false;
      }
      builder.Add(d);
    }
    builder.Finish();
    for (const auto& [camera, conversation] : builder.Conversations()) {
      const auto run = _runs.find(camera.ip);
      if (run == _runs.end()) continue;
      CameraRun& r = *run->second;
      if (!r.begun) Begin(r, conversation);
      r.found_images = conversation.images;
      if (r.facts.camera_id.empty()) r.facts.camera_id = conversation.camera_id;
    }
    return true;
  }

  // Ends each camera's run and writes its files; the worst exit status of them.
  int Finish(bool json_to_out, std::FILE* out, std::FILE* text) {
    int worst = 0;
    const bool several = _runs.size() > 1;
    for (const std::uint32_t ip : Order()) {
      CameraRun& r = *_runs.at(ip);
      r.analyser->Flush();
      if (r.saver) {
        r.saver->Flush();
        for (const std::string& line : r.saver->TakeErrors()) {
          std::fprintf(_err, "framegrab: %s\n", line.c_str());
        }
        PutPictureCounts(r.saver->Counts(), r.facts);
      }
      r.facts.requested_images = std::min(_options.images, r.found_images);
      r.facts.ended_by = _stopped ? RunEnd::kSignal : RunEnd::kImages;
      r.facts.elapsed_ms = static_cast<double>(r.last_ended_ns - r.run_start_ns) / 1e6;
      r.facts.driver = r.total;
      if (r.preview) r.preview->Finish(r.last, r.last_number, r.last_missing);
      r.records.Finish(r.facts);
      const std::shared_ptr<const RunModel> model = r.records.Model();
      if (several && !_options.quiet) {
        std::fprintf(text, "camera %s (host %s):\n", model->facts.camera.c_str(),
                     model->facts.local.c_str());
      }
      RunResults results;
      results.out = out;
      results.text = text;
      results.err = _err;
      results.summary = !_options.quiet;
      results.json_to_out = json_to_out;
      results.json = &r.json;
      results.report = &r.report;
      if (!r.lines_path.empty()) results.lines = &r.lines;
      results.lines_path = r.lines_path;
      results.preview = r.preview.get();
      results.command_line = _command_line;
      const int status = WriteRunResults(*model, results);
      worst = std::max(worst, status);
    }
    return worst;
  }

 private:
  // The cameras in the order their conversations began (by address when none began).
  std::vector<std::uint32_t> Order() const {
    std::vector<std::pair<std::int64_t, std::uint32_t>> order;
    for (const auto& [ip, run] : _runs) order.emplace_back(run->begun ? run->run_start_ns : 0, ip);
    std::sort(order.begin(), order.end());
    std::vector<std::uint32_t> ips;
    for (const auto& entry : order) ips.push_back(entry.second);
    return ips;
  }

  // A buffer for the next image: from the pool, once the analysers and writers let go of one
  // when every one is out.
  std::shared_ptr<std::uint8_t[]> Buffer() {
    if (ImageBuffer buffer = _pool->Take()) return buffer;
    for (auto& [ip, run] : _runs) run->analyser->Flush();
    if (ImageBuffer buffer = _pool->Take()) return buffer;
    for (auto& [ip, run] : _runs) {
      if (run->saver) run->saver->Flush();
    }
    if (ImageBuffer buffer = _pool->Take()) return buffer;
    // The preview holds the rest: one more, outside the pool.
    return std::shared_ptr<std::uint8_t[]>(new std::uint8_t[RAW_IMAGE_SIZE]);
  }

  void Begin(CameraRun& r, const Conversation& c) {
    r.facts = FactsOf(c, _options.capture_path, FRAMEGRAB_VERSION);
    if (r.pictures_dir.Fd() >= 0) {
      r.saver = std::make_unique<PictureSaver>(
          std::move(r.pictures_dir), _options.width, _digits, _options.format, _options.when_behind,
          _options.when_behind == WhenBehind::kWait ? PictureQueueImages() : 1);
      r.facts.picture_format = PictureFormatName(_options.format);
      r.facts.when_behind = WhenBehindName(_options.when_behind);
    }
    r.records.Begin(r.facts);
    r.WriteLine(RunStartLine(r.facts, _command_line), _err);
    r.begun = true;
  }

  // Files one rebuilt image in its camera's run, as a camera's run files one it took.
  void File(const Conversation& c, CapturedImage&& image) {
    const auto found = _runs.find(c.camera.ip);
    if (found == _runs.end()) return;
    CameraRun& r = *found->second;
    if (image.number > _options.images) return;
    if (!r.begun) {
      Begin(r, c);
      r.run_start_ns = image.started_ns;
    }
    if (r.facts.camera_id.empty() && !c.camera_id.empty()) {
      r.facts.camera_id = c.camera_id;
      r.records.UpdateFacts([&](RunFacts& f) { f.camera_id = c.camera_id; });
    }
    ImageRecord record = RecordOf(image, r.run_start_ns);
    r.total.Add(record.transfer);
    record.since_open = r.total;
    r.last_ended_ns = std::max(r.last_ended_ns, image.ended_ns);
    const int number = record.number;
    if (r.saver && (number - 1) % _options.save_every == 0 &&
        r.saver->Reserve() == PictureSaver::Offered::kQueued) {
      record.picture = r.saver->FileName(number, !record.complete);
    }
    r.WriteLine(ImageLine(record, r.facts.camera), _err);
    // What the driver lacked in the end is zero, whatever the capture holds there.
    for (const RawPacketRange& range : record.missing_ranges) {
      std::memset(image.data.get() + static_cast<std::size_t>(range.first) * RAW_PACKET_DATA_LENGTH,
                  0, static_cast<std::size_t>(range.Count()) * RAW_PACKET_DATA_LENGTH);
    }
    SharedImage shared = std::move(image.data);
    if (!record.picture.empty()) {
      r.saver->Fill(shared, PictureTags{number, record.complete, record.ended_utc});
      for (const std::string& line : r.saver->TakeErrors()) {
        std::fprintf(_err, "framegrab: %s\n", line.c_str());
      }
    }
    if (r.preview) {
      r.last_missing = MissingPackets(record);
      if (r.preview->WantsImage()) r.preview->Offer(shared, number, r.last_missing);
      r.last = shared;
      r.last_number = number;
    }
    r.analyser->Offer(std::move(record), std::move(shared));
  }

  const GrabOptions& _options;
  const std::string _command_line;
  const int _digits;  // of the pictures' numbers
  std::FILE* const _err;
  std::map<std::uint32_t, std::unique_ptr<CameraRun>> _runs;
  std::unique_ptr<ImagePool> _pool;
  bool _stopped = false;
};

}  // namespace

int RunFromCapture(const GrabOptions& options, const std::vector<std::string>& args, std::FILE* out,
                   std::FILE* err, const std::atomic<int>* stop_signal) {
  const CaptureScan scan = ScanCapture(options.capture_path);
  if (!scan.problem.empty()) {
    std::fprintf(err, "framegrab: --from-capture %s: %s\n", options.capture_path.c_str(),
                 scan.problem.c_str());
    return 2;
  }
  const bool json_to_out = options.json_path == "-";
  if (json_to_out && scan.cameras.size() > 1) {
    std::fprintf(err,
                 "framegrab: --json - takes one camera's run, and the capture holds %zu cameras: "
                 "name a file, each camera's gets its address\n",
                 scan.cameras.size());
    return 2;
  }
  CaptureReading reading(options, CommandLine(args), scan.most_images, err);
  if (!reading.Prepare(scan.cameras)) return 2;
  if (!reading.Read(stop_signal)) return 2;
  std::FILE* text = json_to_out ? err : out;
  int status = reading.Finish(json_to_out, out, text);
  if (stop_signal != nullptr && stop_signal->load() != 0) status = 128 + stop_signal->load();
  return status;
}

}  // namespace fp
