#include "framegrab/views/PageView.h"

#include "framegrab/views/FigureText.h"
#include "framegrab/views/HtmlText.h"
#include "framegrab/views/PageFiles.h"
#include "framegrab/views/SvgChart.h"

#include <algorithm>
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

// Every id of a camera's parts ends in `suffix`: "" for a lone camera, "-1", "-2", ... for a
// station's.
std::string FiguresHtml(const RunModel& model, const std::string& suffix) {
  std::string html = "<table class=\"figures\">";
  for (const FigureLine& line : FigureLines(model)) {
    html += FormatText("<tr id=\"%s%s\"><th>%s</th><td data-value=\"%.10g\">", line.id,
                       suffix.c_str(), line.name, line.value) +
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

// "framegrab: " for a lone camera, "camera 2: " for a station's second.
std::string Title(const RunModel& model, const std::string& lead = "framegrab: ") {
  return lead + model.facts.local + " \xE2\x86\x90 camera " + model.facts.camera;
}

std::string CameraLead(std::size_t index) { return "camera " + std::to_string(index + 1) + ": "; }

std::string Suffix(std::size_t index) { return "-" + std::to_string(index + 1); }

std::string StateText(const RunModel& model) {
  const int taken = model.totals.images;
  const int asked = model.facts.requested_images;
  if (model.Running()) return FormatText("running: image %d of %d", taken, asked);
  return FormatText("run ended by %s after %d of %d images; still serving until interrupted",
                    RunEndName(model.facts.ended_by), taken, asked);
}

// The panel of one camera in the live page, its ids ending in `suffix`.
std::string PanelHtml(const std::string& suffix) {
  std::string html(kLivePanelHtml);
  for (std::size_t at = 0; (at = html.find("{k}", at)) != std::string::npos; at += suffix.size()) {
    html.replace(at, 3, suffix);
  }
  return html;
}

// A camera's state in a station's verdict: "camera 2, 10.0.0.3:1234 from 10.0.0.2: running:
// image 5 of 100".
std::string StationStateText(const RunModel& model, std::size_t index) {
  const std::string camera = FormatText("camera %zu, %s from %s: ", index + 1,
                                        model.facts.camera.c_str(), model.facts.local.c_str());
  const int taken = model.totals.images;
  const int asked = model.facts.requested_images;
  if (model.Running()) return camera + FormatText("running: image %d of %d", taken, asked);
  return camera + FormatText("ended by %s after %d of %d images, exit status %d",
                             RunEndName(model.facts.ended_by), taken, asked,
                             model.summary.exit_status);
}

// The verdict of a station: its cameras' exit statuses and the worst so far with the camera
// that sets it, then each camera's state, the one that sets it marked.
std::string StationHtml(const std::vector<const RunModel*>& models) {
  std::size_t worst = 0;
  const int status = WorstExitStatus(models, &worst);
  const auto running = std::count_if(models.begin(), models.end(),
                                     [](const RunModel* model) { return model->Running(); });
  std::string verdict = StationVerdict(models);
  if (running > 0) verdict += FormatText(" so far; %td running", running);
  std::string html = "<div id=\"verdict\">" + EscapeHtml(verdict) + "</div><ul id=\"cameras\">";
  for (std::size_t i = 0; i < models.size(); ++i) {
    html += "<li id=\"state-of" + Suffix(i) + "\"" +
            (status != 0 && i == worst ? " class=\"worst\"" : "") + ">" +
            EscapeHtml(StationStateText(*models[i], i)) + "</li>";
  }
  return html + "</ul>";
}

nlohmann::json PanelJson(const RunModel& model, const Preview* preview, const std::string& lead,
                         const std::string& suffix) {
  nlohmann::json event = {{"title", Title(model, lead)},
                          {"running", model.Running()},
                          {"images", model.totals.images},
                          {"state", StateText(model)},
                          {"figures", FiguresHtml(model, suffix)},
                          {"histogram", HistogramHtml(model)},
                          {"charts", ChartsHtml(model)},
                          {"diagnoses", DiagnosesHtml(model)},
                          {"preview", nullptr}};
  if (preview != nullptr) event["preview"] = {{"image", preview->image}, {"note", preview->Note()}};
  return event;
}

// The report's head up to its <body>.
std::string ReportHead() {
  return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>framegrab report</title><style>\n" +
         std::string(kPageCss) + "</style></head><body>\n";
}

// When the report is written: "2024-05-01 12:00:00 UTC".
std::string WrittenNow() {
  char written[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(written, sizeof written, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return written;
}

// A run's part of a report below its title, state and command line, its ids ending in `suffix`.
std::string ReportPanel(const RunModel& model, const Preview* preview, const std::string& suffix) {
  std::string html = "<div class=\"top\">";
  if (preview != nullptr && !preview->png.empty()) {
    html += "<figure><img id=\"preview" + suffix +
            "\" alt=\"the last image\" src=\"data:image/png;base64," + Base64(preview->png) +
            "\"><figcaption id=\"note" + suffix + "\">" + EscapeHtml(preview->Note()) +
            "</figcaption></figure>";
  }
  html += "<div><div id=\"figures" + suffix + "\">" + FiguresHtml(model, suffix) +
          "</div><ul id=\"diagnoses" + suffix + "\" class=\"diagnoses\">" + DiagnosesHtml(model) +
          "</ul></div></div>\n<div id=\"histogram" + suffix + "\">" + HistogramHtml(model) +
          "</div>\n<div id=\"charts" + suffix + "\">" + ChartsHtml(model) + "</div>\n";
  return html;
}

}  // namespace

std::string LivePageHtml(std::size_t cameras) {
  std::string html(kLivePageHtml);
  html = Replace(std::move(html), "/* page.css */", std::string(kPageCss));
  std::string panels;
  if (cameras == 1) {
    panels = PanelHtml("");
  } else {
    panels = FormatText("<h1 id=\"title\">framegrab: %zu cameras</h1>\n", cameras) +
             "<div id=\"station\">waiting for the first figures</div>\n";
    for (std::size_t i = 0; i < cameras; ++i) {
      std::string panel = PanelHtml(Suffix(i));
      panel = Replace(Replace(std::move(panel), "<h1 ", "<h2 "), "</h1>", "</h2>");
      panels +=
          "<section class=\"camera\" id=\"camera" + Suffix(i) + "\">\n" + panel + "</section>\n";
    }
  }
  html = Replace(std::move(html), "<!-- panels -->\n", panels);
  return Replace(std::move(html), "// live.js", std::string(kLivePageScript));
}

std::string LiveEventJson(const RunModel& model, const Preview* preview) {
  return PanelJson(model, preview, "framegrab: ", "").dump();
}

std::string StationEventJson(const std::vector<const RunModel*>& models,
                             const std::vector<const Preview*>& previews) {
  nlohmann::json cameras = nlohmann::json::array();
  for (std::size_t i = 0; i < models.size(); ++i) {
    cameras.push_back(PanelJson(*models[i], i < previews.size() ? previews[i] : nullptr,
                                CameraLead(i), Suffix(i)));
  }
  const nlohmann::json event = {{"station", StationHtml(models)},
                                {"exit_status", WorstExitStatus(models)},
                                {"cameras", cameras}};
  return event.dump();
}

std::string ReportHtml(const RunModel& model, const Preview* preview,
                       const std::string& command_line) {
  std::string html = ReportHead();
  html += "<h1 id=\"title\">" + EscapeHtml(Title(model)) + "</h1>\n";
  html += "<div id=\"state\">" +
          EscapeHtml(FormatText("framegrab %s, run ended by %s, report written %s",
                                model.facts.version.c_str(), RunEndName(model.facts.ended_by),
                                WrittenNow().c_str())) +
          "</div>\n";
  html += "<pre id=\"command\">" + EscapeHtml(command_line) + "</pre>\n";
  return html + ReportPanel(model, preview, "") + "</body></html>\n";
}

std::string StationReportHtml(const std::vector<const RunModel*>& models,
                              const std::vector<const Preview*>& previews,
                              const std::string& command_line) {
  const std::string version = models.empty() ? "" : models.front()->facts.version;
  std::string html = ReportHead();
  html += FormatText("<h1 id=\"title\">framegrab: %zu cameras</h1>\n", models.size());
  html += "<div id=\"state\">" +
          EscapeHtml(FormatText("framegrab %s, report written %s", version.c_str(),
                                WrittenNow().c_str())) +
          "</div>\n";
  html += "<pre id=\"command\">" + EscapeHtml(command_line) + "</pre>\n";
  html += "<div id=\"station\">" + StationHtml(models) + "</div>\n";
  for (std::size_t i = 0; i < models.size(); ++i) {
    const RunModel& model = *models[i];
    const std::string suffix = Suffix(i);
    html += "<section class=\"camera\" id=\"camera" + suffix + "\">\n<h2 id=\"title" + suffix +
            "\">" + EscapeHtml(Title(model, CameraLead(i))) + "</h2>\n<div id=\"state" + suffix +
            "\">" + EscapeHtml(FormatText("run ended by %s", RunEndName(model.facts.ended_by))) +
            "</div>\n" + ReportPanel(model, i < previews.size() ? previews[i] : nullptr, suffix) +
            "</section>\n";
  }
  return html + "</body></html>\n";
}

}  // namespace fp
