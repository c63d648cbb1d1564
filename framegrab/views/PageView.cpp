#include "framegrab/views/PageView.h"

#include "framegrab/views/FigureText.h"
#include "framegrab/views/HtmlText.h"
#include "framegrab/views/PageFiles.h"
#include "framegrab/views/SvgChart.h"

#include <ctime>
#include <nlohmann/json.hpp>

namespace fp {

namespace {

// `text` with its first `marker` replaced by `with`.
std::string Replace(std::string text, std::string_view marker, const std::string& with) {
  const std::size_t at = text.find(marker);
  if (at != std::string::npos) text.replace(at, marker.size(), with);
  return text;
}

std::string FiguresHtml(const RunModel& model) {
  std::string html = "<table class=\"figures\">";
  for (const FigureLine& line : FigureLines(model)) {
    html += FormatText("<tr id=\"%s\"><th>%s</th><td data-value=\"%.10g\">", line.id, line.name,
                       line.value) +
            EscapeHtml(line.text) + "</td></tr>";
  }
  return html + "</table>";
}

std::string ChartsHtml(const RunModel& model) {
  ChartSeries image{"image time", "#1f5fbf", {}, false};
  ChartSeries recovery{"recovery", "#d9822b", {}, true};
  ChartSeries missing{"missing after the stream", "#c23030", {}, false};
  ChartSeries fetched{"fetched again", "#2b8a3e", {}, true};
  model.images.ForEach([&](const ImageRecord& r) {
    image.values.push_back(r.image_ms);
    recovery.values.push_back(r.recovery_ms);
    missing.values.push_back(r.missing_packets);
    fetched.values.push_back(static_cast<double>(r.transfer.camera.fetched_again));
  });
  return SvgLineChart("Image time", "ms", {image, recovery}) +
         SvgLineChart("Packets per image", "packets", {missing, fetched});
}

std::string HistogramHtml(const RunModel& model) {
  const ImageRecord* latest = model.Latest();
  if (latest == nullptr) return "";
  return SvgHistogram("Samples of image " + std::to_string(latest->number),
                      latest->samples.histogram, PictureStats::kBinWidth);
}

std::string DiagnosesHtml(const RunModel& model) {
  std::string html;
  for (const std::string& d : model.summary.diagnoses) {
    html += "<li>diagnosis: " + EscapeHtml(d) + "</li>";
  }
  return html;
}

std::string Title(const RunModel& model) {
  return "framegrab: " + model.facts.local + " \xE2\x86\x90 camera " + model.facts.camera;
}

std::string StateText(const RunModel& model) {
  const int taken = model.totals.images;
  const int asked = model.facts.requested_images;
  if (model.Running()) return FormatText("running: image %d of %d", taken, asked);
  return FormatText("run ended by %s after %d of %d images; still serving until interrupted",
                    RunEndName(model.facts.ended_by), taken, asked);
}

}  // namespace

std::string LivePageHtml() {
  std::string html(kLivePageHtml);
  html = Replace(std::move(html), "/* page.css */", std::string(kPageCss));
  return Replace(std::move(html), "// live.js", std::string(kLivePageScript));
}

std::string LiveEventJson(const RunModel& model, const Preview* preview) {
  nlohmann::json event = {{"title", Title(model)},
                          {"running", model.Running()},
                          {"images", model.totals.images},
                          {"state", StateText(model)},
                          {"figures", FiguresHtml(model)},
                          {"histogram", HistogramHtml(model)},
                          {"charts", ChartsHtml(model)},
                          {"diagnoses", DiagnosesHtml(model)},
                          {"preview", nullptr}};
  if (preview != nullptr) event["preview"] = {{"image", preview->image}, {"note", preview->Note()}};
  return event.dump();
}

std::string ReportHtml(const RunModel& model, const Preview* preview,
                       const std::string& command_line) {
  char written[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(written, sizeof written, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::string html =
      "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>framegrab report</title><style>\n" +
      std::string(kPageCss) + "</style></head><body>\n";
  html += "<h1 id=\"title\">" + EscapeHtml(Title(model)) + "</h1>\n";
  html += "<div id=\"state\">" +
          EscapeHtml(FormatText("framegrab %s, run ended by %s, report written %s",
                                model.facts.version.c_str(), RunEndName(model.facts.ended_by),
                                written)) +
          "</div>\n";
  html += "<pre id=\"command\">" + EscapeHtml(command_line) + "</pre>\n<div class=\"top\">";
  if (preview != nullptr && !preview->png.empty()) {
    html += "<figure><img id=\"preview\" alt=\"the last image\" src=\"data:image/png;base64," +
            Base64(preview->png) + "\"><figcaption id=\"note\">" + EscapeHtml(preview->Note()) +
            "</figcaption></figure>";
  }
  html += "<div><div id=\"figures\">" + FiguresHtml(model) + "</div><ul id=\"diagnoses\">" +
          DiagnosesHtml(model) + "</ul></div></div>\n<div id=\"histogram\">" +
          HistogramHtml(model) + "</div>\n<div id=\"charts\">" + ChartsHtml(model) +
          "</div>\n</body></html>\n";
  return html;
}

}  // namespace fp
