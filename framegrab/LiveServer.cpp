#include "framegrab/LiveServer.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/JsonView.h"
#include "framegrab/MetricsView.h"
#include "framegrab/PageView.h"
#include "framegrab/PngEncoder.h"
#include "framegrab/PreviewWorker.h"
#include "framegrab/RunRecords.h"

#include <csignal>
#include <cstring>
#include <httplib.h>
#include <sys/socket.h>

namespace fp {

namespace {

constexpr std::chrono::milliseconds kEventGap(500);
constexpr std::chrono::milliseconds kKeepAlive(10'000);

}  // namespace

LiveServer::LiveServer(RunRecords& records, const PreviewWorker& preview)
    : _records(records), _preview(preview), _server(std::make_unique<httplib::Server>()) {}

LiveServer::~LiveServer() { Stop(); }

std::string LiveServer::EventData(std::uint64_t& version) {
  version = _records.Version();
  {
    std::lock_guard<std::mutex> lock(_cache_mutex);
    if (_cached_version == version) return _cached_event;
  }
  // Built outside the lock; two clients may build the same version at once, which is harmless.
  const std::shared_ptr<const RunModel> model = _records.Model();
  const std::shared_ptr<const Preview> preview = _preview.Latest();
  std::string event = LiveEventJson(*model, preview.get());
  std::lock_guard<std::mutex> lock(_cache_mutex);
  if (version > _cached_version) {
    _cached_version = version;
    _cached_event = event;
  }
  return event;
}

bool LiveServer::Start(const std::string& address, int port, std::string& error) {
  // A browser that goes away mid-answer must not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  httplib::Server& server = *_server;
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(LivePageHtml(), "text/html; charset=utf-8");
  });
  server.Get("/stats.json", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(RunToJson(*_records.Model()), "application/json");
  });
  server.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(RunToMetrics(*_records.Model()), kMetricsContentType);
  });
  server.Get("/preview.png", [this](const httplib::Request&, httplib::Response& res) {
    const std::shared_ptr<const Preview> preview = _preview.Latest();
    if (!preview) {
      res.status = 404;
      res.set_content("no image yet\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(preview->png, "image/png");
  });
  server.Get("/latest.png", [this](const httplib::Request&, httplib::Response& res) {
    const std::shared_ptr<const Preview> preview = _preview.Latest();
    const std::shared_ptr<const std::uint8_t[]> image = _preview.LatestImage();
    if (!preview || !image) {
      res.status = 404;
      res.set_content("no image yet\n", "text/plain");
      return;
    }
    const int width = _preview.Width();
    const int height = static_cast<int>(RAW_IMAGE_SIZE / 2) / width;
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Disposition",
                   "inline; filename=\"image-" + std::to_string(preview->image) + ".png\"");
    res.set_content(GrayPngFile(image.get(), width, height, /*bit_depth=*/16), "image/png");
  });
  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    auto sent = std::make_shared<std::uint64_t>(0);  // the version last sent on this stream
    res.set_chunked_content_provider(
        "text/event-stream", [this, sent](std::size_t, httplib::DataSink& sink) {
          if (*sent != 0) {
            if (!_records.Pause(kEventGap) || !_records.WaitForChange(*sent, kKeepAlive)) {
              return false;
            }
          }
          std::uint64_t version = 0;
          std::string data = EventData(version);
          if (version == *sent) {
            static const char kComment[] = ": still here\n\n";
            return sink.write(kComment, sizeof kComment - 1);
          }
          *sent = version;
          const std::string event = "data: " + data + "\n\n";
          return sink.write(event.data(), event.size());
        });
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.status == 404 && res.body.empty()) res.set_content("not found\n", "text/plain");
  });

  // Without the library's SO_REUSEPORT: a second framegrab on the same port must fail, not
  // share the connections.
  server.set_socket_options([](int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  errno = 0;
  if (!server.bind_to_port(address.c_str(), port)) {
    error = errno != 0 ? std::strerror(errno) : "cannot bind";
    return false;
  }
  _thread = std::thread([this] { _server->listen_after_bind(); });
  // Until the loop runs, stop() would not reach it.
  for (int i = 0; i < 1000 && !_server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void LiveServer::Stop() {
  _records.Close();
  if (_thread.joinable()) {
    _server->stop();
    _thread.join();
  }
}

}  // namespace fp
