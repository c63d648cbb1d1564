#include "framegrab/serve/LiveServer.h"

#include "framegrab/model/RunRecords.h"
#include "framegrab/serve/HttpServer.h"
#include "framegrab/serve/LatestPng.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/views/MetricsView.h"
#include "framegrab/views/PageView.h"
#include "framegrab/write/PreviewWorker.h"

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kEventGap(500);
constexpr std::chrono::milliseconds kKeepAlive(10'000);

HttpAnswer NoImageYet() { return HttpAnswer::Text(404, "no image yet\n"); }
HttpAnswer NoSuchCamera() { return HttpAnswer::Text(404, "no such camera\n"); }

}  // namespace

LiveServer::LiveServer(RunRecords& records, const PreviewWorker& preview)
    : LiveServer(std::vector<LiveCamera>{{&records, &preview}}) {}

LiveServer::LiveServer(std::vector<LiveCamera> cameras) : _server(std::make_unique<HttpServer>()) {
  HttpServer* server = _server.get();
  for (const LiveCamera& camera : cameras) {
    Shown shown;
    shown.camera = camera;
    shown.latest =
        std::make_unique<LatestPng>(camera.preview->Width(), [server] { server->Wake(); });
    _cameras.push_back(std::move(shown));
  }
}

LiveServer::~LiveServer() { Stop(); }

bool LiveServer::OnLoopback() const { return _server->OnLoopback(); }

std::vector<const RunModel*> LiveServer::Models(
    std::vector<std::shared_ptr<const RunModel>>& hold) const {
  std::vector<const RunModel*> models;
  for (const Shown& shown : _cameras) {
    hold.push_back(shown.camera.records->Model());
    models.push_back(hold.back().get());
  }
  return models;
}

LiveServer::Shown* LiveServer::CameraOf(const HttpRequest& request) {
  const char* text = request.query("camera");
  if (text == nullptr) return &_cameras.front();
  const std::string digits(text);
  if (digits.empty() || digits.size() > 3 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return nullptr;
  }
  const auto number = static_cast<std::size_t>(std::stoi(digits));
  return number >= 1 && number <= _cameras.size() ? &_cameras[number - 1] : nullptr;
}

const std::string& LiveServer::EventData() {
  bool changed = false;
  std::vector<std::shared_ptr<const Preview>> previews;
  for (Shown& shown : _cameras) {
    previews.push_back(shown.camera.preview->Latest());
    const int image = previews.back() ? previews.back()->image : 0;
    changed = changed || shown.camera.records->Version() != shown.event_records ||
              image != shown.event_image;
  }
  // No stream sends more often than kEventGap, so neither is the event made more often, however
  // many streams ask at their own times.
  const Clock::time_point now = Clock::now();
  if (!changed || (_event_serial != 0 && now - _event_made < kEventGap)) return _event;
  // The versions are taken before the models, so a change between the two makes the event
  // again the next time rather than being missed.
  for (std::size_t i = 0; i < _cameras.size(); ++i) {
    _cameras[i].event_records = _cameras[i].camera.records->Version();
    _cameras[i].event_image = previews[i] ? previews[i]->image : 0;
  }
  if (_cameras.size() == 1) {
    _event = LiveEventJson(*_cameras.front().camera.records->Model(), previews.front().get());
  } else {
    std::vector<std::shared_ptr<const RunModel>> hold;
    const std::vector<const RunModel*> models = Models(hold);
    std::vector<const Preview*> shown;
    for (const auto& preview : previews) shown.push_back(preview.get());
    _event = StationEventJson(models, shown);
  }
  _event_made = now;
  ++_event_serial;
  return _event;
}

std::string LiveServer::NextEvent(StreamCursor& cursor) {
  const Clock::time_point now = Clock::now();
  if (cursor.version != 0 && now - cursor.sent < kEventGap) return "";
  const std::string& data = EventData();
  if (_event_serial != cursor.version) {
    cursor.version = _event_serial;
    cursor.sent = now;
    return "data: " + data + "\n\n";
  }
  if (now - cursor.sent < kKeepAlive) return "";
  cursor.sent = now;
  return ": still here\n\n";
}

HttpAnswer LiveServer::Stats(const HttpRequest& request) {
  std::size_t from = 1;
  if (const char* text = request.query("from")) {
    const std::string digits(text);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) < 1) {
      return HttpAnswer::Text(400, "from needs an image number, 1 or more\n");
    }
    from = static_cast<std::size_t>(std::stoi(digits));
  }
  if (_cameras.size() == 1) {
    return HttpAnswer::Of(200, "application/json",
                          RunToJson(*_cameras.front().camera.records->Model(), from - 1, kPage));
  }
  std::vector<std::shared_ptr<const RunModel>> hold;
  return HttpAnswer::Of(200, "application/json", StationToJson(Models(hold), from - 1, kPage));
}

HttpAnswer LiveServer::Metrics() {
  if (_cameras.size() == 1) {
    return HttpAnswer::Of(200, kMetricsContentType,
                          RunToMetrics(*_cameras.front().camera.records->Model()));
  }
  std::vector<std::shared_ptr<const RunModel>> hold;
  return HttpAnswer::Of(200, kMetricsContentType, StationToMetrics(Models(hold)));
}

HttpAnswer LiveServer::PreviewPng(const HttpRequest& request) {
  const Shown* shown = CameraOf(request);
  if (shown == nullptr) return NoSuchCamera();
  const std::shared_ptr<const Preview> preview = shown->camera.preview->Latest();
  if (!preview) return NoImageYet();
  HttpAnswer answer;
  answer.status = 200;
  answer.type = "image/png";
  answer.body = std::shared_ptr<const std::string>(preview, &preview->png);
  return answer;
}

HttpAnswer LiveServer::Latest(const HttpRequest& request) {
  const Shown* shown = CameraOf(request);
  if (shown == nullptr) return NoSuchCamera();
  int number = 0;
  const SharedImage image = shown->camera.preview->LatestImage(&number);
  if (!image) return NoImageYet();
  const LatestPng::File file = shown->latest->Get(image, number);
  if (file.state == LatestPng::State::kWaiting) return HttpAnswer::Later();
  if (file.state == LatestPng::State::kBusy) {
    HttpAnswer answer = HttpAnswer::Text(503, "busy encoding another image; try again\n");
    answer.headers.emplace_back("Retry-After", "1");
    return answer;
  }
  if (file.png->empty()) return HttpAnswer::Text(500, "the image could not be encoded\n");
  HttpAnswer answer;
  answer.status = 200;
  answer.type = "image/png";
  answer.body = file.png;
  answer.headers.emplace_back("Content-Disposition",
                              "inline; filename=\"image-" + std::to_string(number) + ".png\"");
  return answer;
}

bool LiveServer::Start(const std::string& address, int port, std::string& error) {
  HttpServer& server = *_server;
  const HttpAnswer page =
      HttpAnswer::Of(200, "text/html; charset=utf-8", LivePageHtml(_cameras.size()));
  server.Get("/", [page](const HttpRequest&) { return page; });
  server.Get("/stats.json", [this](const HttpRequest& request) { return Stats(request); });
  server.Get("/metrics", [this](const HttpRequest&) { return Metrics(); });
  server.Get("/preview.png", [this](const HttpRequest& request) { return PreviewPng(request); });
  server.Get("/latest.png", [this](const HttpRequest& request) { return Latest(request); });
  server.Stream("/events", "text/event-stream",
                [this](StreamCursor& cursor) { return NextEvent(cursor); });
  return server.Start(address, port, error);
}

void LiveServer::Stop() {
  _server->Stop();
  // The encoders may still wake the server, which exists until this object goes.
  for (Shown& shown : _cameras) shown.latest.reset();
}

}  // namespace fp
