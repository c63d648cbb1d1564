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

}  // namespace

LiveServer::LiveServer(RunRecords& records, const PreviewWorker& preview)
    : _records(records), _preview(preview), _server(std::make_unique<HttpServer>()) {
  HttpServer* server = _server.get();
  _latest = std::make_unique<LatestPng>(preview.Width(), [server] { server->Wake(); });
}

LiveServer::~LiveServer() { Stop(); }

bool LiveServer::OnLoopback() const { return _server->OnLoopback(); }

const std::string& LiveServer::EventData() {
  const std::uint64_t version = _records.Version();
  const std::shared_ptr<const Preview> preview = _preview.Latest();
  const int image = preview ? preview->image : 0;
  // No stream sends more often than kEventGap, so neither is the event made more often, however
  // many streams ask at their own times.
  const Clock::time_point now = Clock::now();
  if ((version != _event_records || image != _event_image) &&
      (_event_serial == 0 || now - _event_made >= kEventGap)) {
    _event = LiveEventJson(*_records.Model(), preview.get());
    _event_records = version;
    _event_image = image;
    _event_made = now;
    ++_event_serial;
  }
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
  return HttpAnswer::Of(200, "application/json", RunToJson(*_records.Model(), from - 1, kPage));
}

HttpAnswer LiveServer::Latest() {
  int number = 0;
  const SharedImage image = _preview.LatestImage(&number);
  if (!image) return NoImageYet();
  const LatestPng::File file = _latest->Get(image, number);
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
  const HttpAnswer page = HttpAnswer::Of(200, "text/html; charset=utf-8", LivePageHtml());
  server.Get("/", [page](const HttpRequest&) { return page; });
  server.Get("/stats.json", [this](const HttpRequest& request) { return Stats(request); });
  server.Get("/metrics", [this](const HttpRequest&) {
    return HttpAnswer::Of(200, kMetricsContentType, RunToMetrics(*_records.Model()));
  });
  server.Get("/preview.png", [this](const HttpRequest&) {
    const std::shared_ptr<const Preview> preview = _preview.Latest();
    if (!preview) return NoImageYet();
    HttpAnswer answer;
    answer.status = 200;
    answer.type = "image/png";
    answer.body = std::shared_ptr<const std::string>(preview, &preview->png);
    return answer;
  });
  server.Get("/latest.png", [this](const HttpRequest&) { return Latest(); });
  server.Stream("/events", "text/event-stream",
                [this](StreamCursor& cursor) { return NextEvent(cursor); });
  return server.Start(address, port, error);
}

void LiveServer::Stop() {
  _server->Stop();
  // The encoder may still wake the server, which exists until this object goes.
  _latest.reset();
}

}  // namespace fp
