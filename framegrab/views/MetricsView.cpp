#include "framegrab/views/MetricsView.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <utility>
#include <vector>

namespace fp {

namespace {

// A label value as the format wants it: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest text that reads back as the same double.
std::string Number(double value) {
  char text[32];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end.ptr);
}

// The exposition's families in the order first named, each with its HELP and TYPE once and then
// the samples of every camera that has it: the format wants a family's lines together.
class Exposition {
 public:
  // The camera whose samples follow.
  void Camera(const std::string& camera) { _camera = "camera=\"" + LabelValue(camera) + "\""; }

  // One family: its HELP and TYPE lines, then a sample for each (extra label, value); an empty
  // extra label gives the sample the camera label alone.
  void Family(const char* name, const char* type, const char* help,
              std::initializer_list<std::pair<std::string, double>> samples) {
    std::string& text = Lines(name, type, help);
    for (const auto& [label, value] : samples) {
      text += std::string(name) + "{" + _camera + (label.empty() ? "" : "," + label) + "} " +
              Number(value) + "\n";
    }
  }
  void Counter(const char* name, const char* help, double value) {
    Family(name, "counter", help, {{"", value}});
  }
  void Gauge(const char* name, const char* help, double value) {
    Family(name, "gauge", help, {{"", value}});
  }
  // A gauge of no camera: one sample without labels.
  void PlainGauge(const char* name, const char* help, double value) {
    Lines(name, "gauge", help) += std::string(name) + " " + Number(value) + "\n";
  }
  std::string Text() const {
    std::string text;
    for (const auto& [name, lines] : _families) text += lines;
    return text;
  }

 private:
  // The lines of family `name`, begun with its HELP and TYPE when it is new.
  std::string& Lines(const char* name, const char* type, const char* help) {
    for (auto& [known, lines] : _families) {
      if (known == name) return lines;
    }
    _families.emplace_back(
        name, std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n");
    return _families.back().second;
  }

  std::string _camera;
  std::vector<std::pair<std::string, std::string>> _families;  // name, lines
};

double Seconds(double ms) { return ms / 1000.0; }

// The samples of one camera's run.
void AddRun(Exposition& e, const RunModel& model) {
  const RunFacts& f = model.facts;
  const RunTotals& t = model.totals;
  const RunSummary& s = model.summary;
  const auto d = [](std::int64_t v) { return static_cast<double>(v); };
  e.Camera(f.camera);
  e.Family(
      "framegrab_info", "gauge", "The program and the local interface; always 1.",
      {{"version=\"" + LabelValue(f.version) + "\",local=\"" + LabelValue(f.local) + "\"", 1}});
  e.Gauge("framegrab_running", "1 while the run takes images, 0 once it has ended.",
          model.Running() ? 1 : 0);
  e.Gauge("framegrab_requested_images", "Images asked for.", f.requested_images);
  e.Family(
      "framegrab_images_total", "counter", "Images taken, by whether they ended complete.",
      {{"result=\"complete\"", t.complete_images}, {"result=\"incomplete\"", t.incomplete_images}});
  e.Gauge("framegrab_elapsed_seconds", "From the first start command to the end of the last image.",
          Seconds(f.elapsed_ms));
  e.Gauge("framegrab_images_per_second", "Images taken per second of elapsed time.",
          s.images_per_s);
  e.Gauge("framegrab_image_time_median_seconds",
          "Median time from the start command to a whole image.", Seconds(s.image_median_ms));
  e.Gauge("framegrab_image_time_p99_seconds", "99th percentile of the image time (nearest rank).",
          Seconds(s.image_p99_ms));
  e.Gauge("framegrab_image_time_max_seconds", "Longest image time.", Seconds(s.image_max_ms));
  e.Counter("framegrab_stream_expected_packets_total",
            "RAW packets the images taken should have streamed (8248 each).",
            d(s.stream_expected_packets));
  e.Counter("framegrab_stream_packets_total", "RAW packets stored from the stream.",
            d(t.stream_packets));
  e.Counter("framegrab_missing_after_stream_packets_total",
            "RAW packets missing when the stream of their image ended.", d(t.missing_packets));
  e.Gauge("framegrab_missing_after_stream_ratio",
          "Missing packets as a fraction of the packets expected.", s.missing_share);
  e.Counter("framegrab_fetched_again_packets_total", "RAW packets brought by recovery.",
            static_cast<double>(t.transfers.camera.fetched_again));
  e.Gauge("framegrab_recovery_time_median_seconds",
          "Median recovery time over the images that needed recovery.",
          Seconds(s.recovery_median_ms));
  e.Gauge("framegrab_recovery_time_max_seconds", "Longest recovery time.",
          Seconds(s.recovery_max_ms));
  e.Counter("framegrab_duplicate_packets_total",
            "RAW packets received again during their image's transfers.",
            static_cast<double>(t.transfers.socket.duplicates));
  e.Counter("framegrab_conflicting_packets_total",
            "RAW packets that came again with other data than the copy stored first.",
            static_cast<double>(t.transfers.socket.conflicts));
  ForEachCount(f.driver, f.driver, [&e](const char* name, std::uint64_t value, std::uint64_t) {
    std::string words = name;
    std::replace(words.begin(), words.end(), '_', ' ');
    e.Counter(("framegrab_driver_" + std::string(name) + "_total").c_str(),
              ("The camera driver's count since the camera was opened: " + words + ".").c_str(),
              static_cast<double>(value));
  });
  e.Counter("framegrab_saturated_samples_total", "Samples at 65535 in all images.",
            d(t.saturated_samples));
  e.Counter("framegrab_zero_samples_total", "Samples at 0 in all images.", d(t.zero_samples));
  if (const ImageRecord* latest = model.Latest()) {
    const PictureStats& p = latest->samples;
    e.Gauge("framegrab_latest_image_number", "The newest image, 1, 2, ...", latest->number);
    e.Family("framegrab_latest_image_sample_value", "gauge",
             "Sample values of the newest image: least, greatest, mean and standard deviation.",
             {{"statistic=\"min\"", p.min},
              {"statistic=\"max\"", p.max},
              {"statistic=\"mean\"", p.mean},
              {"statistic=\"standard_deviation\"", p.standard_deviation}});
  }
  e.Family(
      "framegrab_cpu_seconds_total", "counter",
      "Processor time of the whole framegrab process during the run.",
      {{"mode=\"user\"", Seconds(f.cpu_user_ms)}, {"mode=\"system\"", Seconds(f.cpu_system_ms)}});
  e.Gauge("framegrab_receive_buffer_bytes",
          "Receive buffer the kernel granted the camera socket; -1 unknown.",
          d(f.receive_buffer_bytes));
  if (s.kernel_drops) {
    e.Counter("framegrab_kernel_dropped_packets_total",
              "UDP datagrams the kernel dropped for a full receive buffer during the run, all "
              "sockets of the machine.",
              d(*s.kernel_drops));
  }
  e.Family("framegrab_pictures_total", "counter", "Pictures by what became of them.",
           {{"result=\"saved\"", f.saved_pictures},
            {"result=\"unsaved\"", f.unsaved_pictures},
            {"result=\"failed\"", f.failed_pictures}});
  e.Counter("framegrab_outages_total",
            "Spans without contact with the camera, the one going on "
            "included.",
            static_cast<double>(f.outages.size()));
  e.Counter("framegrab_outage_seconds_total", "Time without contact with the camera.",
            Seconds(s.outage_total_ms));
  e.Gauge("framegrab_diagnoses", "Diagnoses the run has given.",
          static_cast<double>(s.diagnoses.size()));
  e.Gauge("framegrab_exit_status", "The exit status the run has, or would have if it ended now.",
          s.exit_status);
}

}  // namespace

std::string RunToMetrics(const RunModel& model) {
  Exposition e;
  AddRun(e, model);
  return e.Text();
}

std::string StationToMetrics(const std::vector<const RunModel*>& models) {
  Exposition e;
  e.PlainGauge("framegrab_station_cameras", "Cameras the station takes images from.",
               static_cast<double>(models.size()));
  e.PlainGauge("framegrab_station_exit_status",
               "The worst of the cameras' exit statuses: the station's, or what it would be if "
               "it ended now.",
               WorstExitStatus(models));
  for (const RunModel* model : models) AddRun(e, *model);
  return e.Text();
}

}  // namespace fp
