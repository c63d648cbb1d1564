#include "framegrab/ReportPage.h"

#include "framegrab/SvgChart.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace fp {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// A table row: its id, the figure's name, a number a script can read, and the text.
std::string Row(const char* id, const char* name, double value, const std::string& text) {
  return Format("<tr id=\"%s\"><th>%s</th><td data-value=\"%.10g\">", id, name, value) +
         EscapeHtml(text) + "</td></tr>";
}

std::string FiguresHtml(const GrabReport& report, bool running) {
  const GrabReport::Summary& s = report.summary;
  auto ll = [](std::int64_t v) { return static_cast<long long>(v); };
  const int taken = s.complete_images + s.incomplete_images;
  std::string html = "<table class=\"figures\">";
  html += Row("images", "images done", taken,
              Format("%d of %d asked for: %d complete, %d incomplete (%s)", taken,
                     report.requested_images, s.complete_images, s.incomplete_images,
                     running ? "running" : ("ended by " + report.ended_by).c_str()));
  html += Row("rate", "images per second", s.images_per_s, Format("%.2f", s.images_per_s));
  html += Row("loss", "stream loss", static_cast<double>(s.missing_packets),
              Format("%lld packets missing after the stream (%.3f%% of %lld)",
                     ll(s.missing_packets), s.missing_share * 100, ll(s.stream_expected_packets)));
  html += Row("fetched", "fetched again", static_cast<double>(s.fetched_again_packets),
              Format("%lld packets; recovery median %.1f ms, max %.1f ms",
                     ll(s.fetched_again_packets), s.recovery_median_ms, s.recovery_max_ms));
  html += Row("image-time", "image time", s.image_median_ms,
              Format("median %.1f ms, p99 %.1f ms, max %.1f ms", s.image_median_ms, s.image_p99_ms,
                     s.image_max_ms));
  html += Row("kernel-drops", "kernel drops", s.kernel_drops ? double(*s.kernel_drops) : -1,
              s.kernel_drops ? Format("%lld UDP datagrams dropped for a full receive buffer",
                                      ll(*s.kernel_drops))
                             : "unknown (/proc/net/snmp not readable)");
  html += Row("duplicates", "duplicates", static_cast<double>(s.duplicate_packets),
              Format("%lld packets", ll(s.duplicate_packets)));
  html += Row(
      "cpu", "processor time per image", s.cpu_user_ms_per_image + s.cpu_system_ms_per_image,
      Format("user %.1f ms, system %.1f ms", s.cpu_user_ms_per_image, s.cpu_system_ms_per_image));
  html += Row("receive-buffer", "receive buffer", static_cast<double>(report.receive_buffer_bytes),
              report.receive_buffer_bytes >= 0
                  ? Format("%lld bytes granted", ll(report.receive_buffer_bytes))
                  : std::string("unknown"));
  if (report.saved_pictures + report.unsaved_pictures + report.failed_pictures > 0) {
    html += Row("pictures", "pictures", report.saved_pictures,
                Format("%d saved, %d left unsaved (writer behind), %d failed",
                       report.saved_pictures, report.unsaved_pictures, report.failed_pictures));
  }
  return html + "</table>";
}

std::string ChartsHtml(const GrabReport& report) {
  ChartSeries image{"image time", "#1f5fbf", {}, false};
  ChartSeries recovery{"recovery", "#d9822b", {}, true};
  ChartSeries missing{"missing after the stream", "#c23030", {}, false};
  ChartSeries fetched{"fetched again", "#2b8a3e", {}, true};
  for (const ImageRecord& r : report.images) {
    image.values.push_back(r.image_ms);
    recovery.values.push_back(r.recovery_ms);
    missing.values.push_back(r.missing_packets);
    fetched.values.push_back(r.fetched_again_packets);
  }
  return SvgLineChart("Image time", "ms", {image, recovery}) +
         SvgLineChart("Packets per image", "packets", {missing, fetched});
}

std::string DiagnosesHtml(const GrabReport& report) {
  std::string html;
  for (const std::string& d : report.summary.diagnoses) {
    html += "<li>diagnosis: " + EscapeHtml(d) + "</li>";
  }
  return html;
}

std::string Title(const GrabReport& report) {
  return "framegrab: " + report.local + " \xE2\x86\x90 camera " + report.camera;
}

std::string Base64(const std::string& data) {
  static const char* const kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const auto n = static_cast<unsigned>(static_cast<unsigned char>(data[i]) << 16 |
                                         static_cast<unsigned char>(data[i + 1]) << 8 |
                                         static_cast<unsigned char>(data[i + 2]));
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], kDigits[n & 63]};
  }
  if (i + 1 == data.size()) {
    const unsigned n = static_cast<unsigned char>(data[i]) << 16;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == data.size()) {
    const unsigned n =
        static_cast<unsigned char>(data[i]) << 16 | static_cast<unsigned char>(data[i + 1]) << 8;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], '='};
  }
  return out;
}

constexpr const char* kStyle = R"(<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 16px; color: #222; background: #fafafa; }
h1 { font-size: 18px; margin: 0 0 4px; }
#state { color: #555; margin-bottom: 12px; }
.top { display: flex; flex-wrap: wrap; gap: 16px; align-items: flex-start; }
figure { margin: 0; flex: 0 1 512px; }
.top > div { flex: 1 1 420px; }
figure img { width: 100%; image-rendering: pixelated; background: #000; display: block; }
figcaption { font-size: 12px; color: #555; }
table.figures { border-collapse: collapse; background: #fff; }
table.figures th { text-align: left; font-weight: 600; padding: 3px 12px 3px 6px; white-space: nowrap; }
table.figures td { padding: 3px 6px; }
table.figures tr:nth-child(odd) { background: #f0f2f5; }
ul#diagnoses { color: #a11; padding-left: 18px; }
svg.chart { width: 100%; max-width: 640px; background: #fff; display: block; margin-top: 12px; }
svg .grid { stroke: #ddd; } svg .axis, svg .legend { font-size: 11px; fill: #555; }
svg .title { font-size: 13px; font-weight: 600; fill: #222; } svg .unit { font-weight: 400; fill: #777; }
pre#command { background: #fff; padding: 6px; white-space: pre-wrap; }
</style>)";

}  // namespace

std::string LivePageHtml() {
  return std::string(R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>framegrab</title>)") +
         kStyle + R"(</head><body>
<h1 id="title">framegrab</h1>
<div id="state">waiting for the first figures</div>
<div class="top">
<figure><img id="preview" alt="the latest image"><figcaption id="note">no image yet</figcaption></figure>
<div><div id="figures"></div><ul id="diagnoses"></ul><div id="updated"></div></div>
</div>
<div id="charts"></div>
<script>
const $ = (id) => document.getElementById(id);
let shown = 0;
const source = new EventSource('events');
source.onmessage = (event) => {
  const d = JSON.parse(event.data);
  $('title').textContent = d.title;
  $('state').textContent = d.state;
  $('figures').innerHTML = d.figures;
  $('charts').innerHTML = d.charts;
  $('diagnoses').innerHTML = d.diagnoses;
  if (d.preview && d.preview.image !== shown) {
    shown = d.preview.image;
    $('preview').src = 'preview.png?image=' + shown;
    $('note').textContent = d.preview.note + ' (full image: latest.png, figures: stats.json)';
  }
  $('updated').textContent = 'updated ' + new Date().toLocaleTimeString();
};
source.onerror = () => {
  $('updated').textContent = source.readyState === EventSource.CLOSED
    ? 'framegrab refused the updates (too many pages open?); reload to try again'
    : 'no contact with framegrab; trying again';
};
</script>
</body></html>
)";
}

std::string LiveEventJson(const GrabReport& report, bool running, const Preview* preview) {
  const int taken = static_cast<int>(report.images.size());
  nlohmann::json event = {
      {"title", Title(report)},
      {"running", running},
      {"images", taken},
      {"state", running ? Format("running: image %d of %d", taken, report.requested_images)
                        : Format("run ended by %s after %d of %d images; still serving until "
                                 "interrupted",
                                 report.ended_by.c_str(), taken, report.requested_images)},
      {"figures", FiguresHtml(report, running)},
      {"charts", ChartsHtml(report)},
      {"diagnoses", DiagnosesHtml(report)},
      {"preview", nullptr}};
  if (preview != nullptr) event["preview"] = {{"image", preview->image}, {"note", preview->Note()}};
  return event.dump();
}

std::string ReportHtml(const GrabReport& report, const Preview* preview,
                       const std::string& command_line) {
  char written[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(written, sizeof written, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::string html = std::string(
                         "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                         "<title>framegrab report</title>") +
                     kStyle + "</head><body>\n";
  html += "<h1 id=\"title\">" + EscapeHtml(Title(report)) + "</h1>\n";
  html += "<div id=\"state\">" +
          EscapeHtml(Format("framegrab %s, run ended by %s, report written %s",
                            report.version.c_str(), report.ended_by.c_str(), written)) +
          "</div>\n";
  html += "<pre id=\"command\">" + EscapeHtml(command_line) + "</pre>\n<div class=\"top\">";
  if (preview != nullptr && !preview->png.empty()) {
    html += "<figure><img id=\"preview\" alt=\"the last image\" src=\"data:image/png;base64," +
            Base64(preview->png) + "\"><figcaption id=\"note\">" + EscapeHtml(preview->Note()) +
            "</figcaption></figure>";
  }
  html += "<div><div id=\"figures\">" + FiguresHtml(report, false) + "</div><ul id=\"diagnoses\">" +
          DiagnosesHtml(report) + "</ul></div></div>\n<div id=\"charts\">" + ChartsHtml(report) +
          "</div>\n</body></html>\n";
  return html;
}

}  // namespace fp
