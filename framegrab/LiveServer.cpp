#include "framegrab/LiveServer.h"

#include "framegrab/HttpServer.h"
#include "framegrab/LatestPng.h"
#include "framegrab/LiveState.h"
#include "framegrab/ReportPage.h"

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kEventGap(500);
constexpr std::chrono::milliseconds kKeepAlive(10'000);
// While the run goes on, the processor and kernel counters of the summary are read again at
// least this often.
constexpr std::chrono::milliseconds kCountersAge(1000);

HttpAnswer NoImageYet() { return HttpAnswer::Text(404, "no image yet\n"); }

}  // namespace

LiveServer::LiveServer(LiveState& state) : _state(state), _server(std::make_unique<HttpServer>()) {
  HttpServer* server = _server.get();
  _latest = std::make_unique<LatestPng>(state.Width(), [server] { server->Wake(); });
}

LiveServer::~LiveServer() { Stop(); }

bool LiveServer::OnLoopback() const { return _server->OnLoopback(); }

const GrabReport& LiveServer::Summary() {
  const std::uint64_t version = _state.Version();
  const bool stale = _summary.ended_by == "running" && Clock::now() - _summary_made > kCountersAge;
  if (version != _summary_version || stale) {
    GrabReport report = _state.Snapshot();
    report.images.clear();
    report.images.shrink_to_fit();
    _summary = std::move(report);
    _summary_version = version;
    _summary_made = Clock::now();
  }
  return _summary;
}

const std::string& LiveServer::EventData(std::uint64_t& version) {
  version = _state.Version();
  if (version != _event_version) {
    const bool running = _state.Running();
    const GrabReport report = _state.Snapshot();
    const std::shared_ptr<const Preview> preview = _state.LatestPreview();
    _event = LiveEventJson(report, running, preview.get());
    _event_version = version;
  }
  return _event;
}

std::string LiveServer::NextEvent(StreamCursor& cursor) {
  const Clock::time_point now = Clock::now();
  if (cursor.version != 0 && now - cursor.sent < kEventGap) return "";
  if (_state.Version() != cursor.version) {
    const std::string& data = EventData(cursor.version);
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
  GrabReport page = Summary();
  page.images = _state.Records(from - 1, kPage);
  return HttpAnswer::Of(200, "application/json", ReportToJson(page));
}

HttpAnswer LiveServer::Latest() {
  int number = 0;
  const std::shared_ptr<const std::uint8_t[]> image = _state.LatestImage(&number);
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
  server.Get("/preview.png", [this](const HttpRequest&) {
    const std::shared_ptr<const Preview> preview = _state.LatestPreview();
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
