// The live page's server as framegrab sets it up, in-process on addresses of 127.23.200.0/24,
// against clients that misbehave on purpose: stalled, slow, unread, oversized, pipelined, with
// a foreign Host. The run is a RunRecords fed by the test, so events keep coming. A station of
// two cameras is served on 127.0.93.1.

#include "framegrab/serve/LiveServer.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/model/RunRecords.h"
#include "framegrab/serve/LatestPng.h"
#include "framegrab/write/PreviewWorker.h"
#include "tests/support/HttpClient.h"
#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

namespace fp::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 8080;
// What the server allows at once; beyond it, one more stream is refused.
constexpr int kStreams = 8;

// The facts of a run whose camera answered, `requested` images asked for.
RunFacts OpenedFacts(const std::string& local, const std::string& camera, int requested) {
  RunFacts facts;
  facts.local = local;
  facts.camera = camera;
  facts.requested_images = requested;
  facts.opened = true;
  return facts;
}

ImageRecord Record(int number) {
  ImageRecord r;
  r.number = number;
  r.complete = true;
  r.stream_packets = RAW_PACKETS_PER_IMAGE;
  r.image_ms = 70 + number % 7;
  r.ended_after_ms = number * 70.0;
  return r;
}

// A run in progress served on 127.23.200.<net>:8080: `records` images at once, then one more
// every 20 ms while the rig lives.
class PageRig {
 public:
  explicit PageRig(int net, int records = 5) : _address("127.23.200." + std::to_string(net)) {
    _records.Begin(OpenedFacts("127.23.200.99", "127.23.200.98:1234", 100000));
    for (int n = 1; n <= records; ++n) _records.Add(Record(n));
    _next = records + 1;
    std::string error;
    EXPECT_TRUE(_server.Start(_address, kPort, error)) << error;
    _feeder = std::thread([this] {
      while (!_stop.load()) {
        _records.Add(Record(_next));
        ++_next;
        std::this_thread::sleep_for(milliseconds(20));
      }
    });
  }
  ~PageRig() {
    _stop.store(true);
    _feeder.join();
    _server.Stop();
  }

  const std::string& Address() const { return _address; }
  std::string Host() const { return _address + ":" + std::to_string(kPort); }
  HttpReply Get(const std::string& path, milliseconds limit = seconds(10)) const {
    return HttpGet(_address, kPort, path, limit);
  }
  std::unique_ptr<HttpConnection> Connect(int receive_buffer = 0) const {
    return std::make_unique<HttpConnection>(_address, kPort, receive_buffer);
  }

 private:
  const std::string _address;
  RunRecords _records;
  PreviewWorker _preview{2048};
  LiveServer _server{_records, _preview};
  std::atomic<bool> _stop{false};
  std::atomic<int> _next{1};
  std::thread _feeder;
};

// The status of the answer to `request`, from its first line; 0 when none came in 2 s.
int StatusOf(const PageRig& rig, const std::string& request) {
  const auto connection = rig.Connect();
  connection->Send(request);
  for (int i = 0; i < 40 && connection->Buffered().find("\r\n") == std::string::npos; ++i) {
    if (!connection->Read(milliseconds(50))) break;
  }
  const std::string& text = connection->Buffered();
  return text.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(text.c_str() + 9) : 0;
}

TEST(LiveServer, StalledClientsAndFullStreamsLeaveThePageAnsweredAndAreClosed) {
  PageRig rig(1);
  // Slow requests: the request line and one header byte every 300 ms, never ending.
  std::vector<std::unique_ptr<HttpConnection>> slow;
  for (int i = 0; i < kStreams; ++i) {
    slow.push_back(rig.Connect());
    ASSERT_TRUE(slow.back()->Send("GET / HTTP/1.1\r\nHost: " + rig.Host() + "\r\nX-Slow: "));
  }
  // As many event streams as a page may have open, all read as a browser reads them.
  std::vector<std::unique_ptr<HttpConnection>> streams;
  for (int i = 0; i < kStreams; ++i) {
    streams.push_back(rig.Connect());
    ASSERT_TRUE(streams.back()->Send(HttpRequestText("/events", rig.Host())));
  }
  for (auto& s : streams) s->Read(milliseconds(300));
  for (auto& s : streams) {
    EXPECT_EQ(s->Buffered().compare(0, 15, "HTTP/1.1 200 OK"), 0) << s->Buffered();
  }

  // A short request is answered at once all the same; one stream more is refused.
  EXPECT_EQ(rig.Get("/", seconds(1)).status, 200);
  const HttpReply refused = rig.Get("/events");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "too many event streams open\n");

  // The slow requests are cut once they have taken longer than a request may; the streams
  // that are read stay.
  const Clock::time_point start = Clock::now();
  int cut = 0;
  while (cut < kStreams && Clock::now() - start < seconds(9)) {
    cut = 0;
    for (auto& c : slow) {
      c->Send("x");
      c->Read(milliseconds(1));
      cut += c->Closed() ? 1 : 0;
    }
    for (auto& s : streams) s->Read(milliseconds(30));
    std::this_thread::sleep_for(milliseconds(200));
  }
  EXPECT_EQ(cut, kStreams);
  for (auto& s : streams) EXPECT_FALSE(s->Closed());
  EXPECT_NE(streams.front()->Buffered().find("\ndata: {"), std::string::npos);
}

TEST(LiveServer, AStreamThatIsNotReadIsDroppedBeforeMuchPilesUp) {
  PageRig rig(2, 600);  // charts at full size: large events
  auto unread = rig.Connect(/*receive_buffer=*/4096);
  ASSERT_TRUE(unread->Send(HttpRequestText("/events", rig.Host())));
  std::this_thread::sleep_for(seconds(9));
  // Everything the server sent is in the client's buffer, then the end.
  unread->Read(seconds(3), /*most=*/64u << 20);
  EXPECT_TRUE(unread->Closed());
  EXPECT_LT(unread->Buffered().size(), 256u * 1024) << "sent before the stream was dropped";
  // Its place is free again.
  auto next = rig.Connect();
  ASSERT_TRUE(next->Send(HttpRequestText("/events", rig.Host())));
  next->Read(milliseconds(500));
  EXPECT_EQ(next->Buffered().compare(0, 15, "HTTP/1.1 200 OK"), 0);
}

TEST(LiveServer, OversizedRequestsAreRefusedEarly) {
  PageRig rig(3);
  std::string many;
  for (int i = 0; i < 100; ++i) many += "X-Line-" + std::to_string(i) + ": y\r\n";
  const struct {
    const char* what;
    std::string request;
    int status;
  } cases[] = {
      {"100 header lines", HttpRequestText("/", rig.Host(), many), 431},
      {"a 40 KiB header",
       HttpRequestText("/", rig.Host(), "X-Big: " + std::string(40960, 'a') + "\r\n"), 431},
      {"a 40 KiB path", HttpRequestText("/" + std::string(40960, 'a'), rig.Host()), 414},
      {"a body",
       "POST /stats.json HTTP/1.1\r\nHost: " + rig.Host() +
           "\r\nContent-Length: 1000000000\r\n\r\n{}",
       405},
  };
  for (const auto& c : cases) {
    HttpConnection connection(rig.Address(), kPort);
    connection.Send(c.request);
    EXPECT_EQ(connection.Next(seconds(2)).status, c.status) << c.what;
  }

  // Header lines without end, 8 KiB a millisecond: refused after a little, not read for ever.
  HttpConnection endless(rig.Address(), kPort);
  ASSERT_TRUE(endless.Send("GET / HTTP/1.1\r\nHost: " + rig.Host() + "\r\n"));
  const std::string lines = [] {
    std::string text;
    while (text.size() < 8192) text += "X-More: " + std::string(90, 'z') + "\r\n";
    return text;
  }();
  std::size_t sent = 0;
  while (sent < (4u << 20) && endless.Buffered().empty() && endless.Send(lines)) {
    sent += lines.size();
    endless.Read(milliseconds(1));
  }
  EXPECT_LT(sent, 4u << 20);
  EXPECT_EQ(endless.Next(seconds(2)).status, 431);
}

TEST(LiveServer, OnLoopbackOnlyLoopbackNamesWithTheBoundPortAreServed) {
  PageRig rig(4);
  const struct {
    std::string host;
    bool served;
  } cases[] = {
      {rig.Host(), true},
      {"127.0.0.1:8080", true},
      {"localhost:8080", true},
      {"LocalHost:8080", true},
      {"[::1]:8080", true},
      {"evil.example:8080", false},
      {"127.0.0.1:8081", false},
      {"localhost", false},
      {"localhost:", false},
      {"localhost.evil.example:8080", false},
      {"127.0.0.1.evil.example:8080", false},
      {"127.0.0.256:8080", false},
      {"10.0.0.1:8080", false},
      {"[::2]:8080", false},
      {"", false},
  };
  for (const auto& c : cases) {
    for (const std::string path : {"/stats.json", "/events", "/nothing"}) {
      const int served = path == "/nothing" ? 404 : 200;
      EXPECT_EQ(StatusOf(rig, HttpRequestText(path, c.host, "Connection: close\r\n")),
                c.served ? served : 421)
          << c.host << " " << path;
    }
  }
  EXPECT_EQ(StatusOf(rig, HttpRequestText("/stats.json", rig.Host(), "Host: evil.example\r\n")),
            400);
}

TEST(LiveServer, PipelinedRequestsAreAnsweredInOrderOrTheConnectionEnds) {
  PageRig rig(5);
  HttpConnection connection(rig.Address(), kPort);
  ASSERT_TRUE(connection.Send(HttpRequestText("/stats.json", rig.Host()) +
                              HttpRequestText("/nothing", rig.Host()) +
                              HttpRequestText("/", rig.Host())));
  const Clock::time_point start = Clock::now();
  std::vector<int> statuses;
  for (HttpReply r; (r = connection.Next(seconds(1))).status != 0;) statuses.push_back(r.status);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), 200);
  if (statuses.size() > 1) {
    EXPECT_EQ(statuses, (std::vector<int>{200, 404, 200}));
  } else {
    // Closed right after the first answer rather than leaving the others unanswered.
    EXPECT_TRUE(connection.Closed());
    EXPECT_LT(Clock::now() - start, seconds(1));
  }
}

TEST(LiveServer, StatsComeInPagesOfRecordsWithTheWholeSummary) {
  PageRig rig(6, 2600);
  struct Case {
    std::string query;
    int status;
    int first;  // image number of the first record; 0 for none
    std::size_t records;
  };
  const Case cases[] = {
      {"", 200, 1, 100},
      {"?from=1001", 200, 1001, 100},  // across two chunks of records
      {"?from=2551", 200, 2551, 50},   // the last full chunk and the open one: at least 50
      {"?from=900000", 200, 0, 0},
      {"?from=0", 400, 0, 0},
      {"?from=x", 400, 0, 0},
      {"?from=", 400, 0, 0},
  };
  for (const Case& c : cases) {
    const HttpReply reply = rig.Get("/stats.json" + c.query);
    ASSERT_EQ(reply.status, c.status) << c.query << reply.body;
    if (c.status != 200) continue;
    const nlohmann::json stats = nlohmann::json::parse(reply.body);
    EXPECT_GE(stats["summary"]["complete_images"], 2600) << c.query;
    const nlohmann::json& images = stats["images"];
    if (c.records == 100 || c.records == 0) {
      EXPECT_EQ(images.size(), c.records) << c.query;
    } else {
      EXPECT_GE(images.size(), c.records) << c.query;
    }
    for (std::size_t i = 0; i < images.size(); ++i) {
      ASSERT_EQ(images[i]["image"], c.first + static_cast<int>(i)) << c.query;
    }
  }
}

// Whether `metrics` and `stats` of the same moment say the same, by check_metrics.py and the
// Prometheus client's parser; null when the parser is not here.
std::optional<bool> MetricsAgree(const std::string& metrics, const std::string& stats) {
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0) {
    return std::nullopt;
  }
  const TempDir dir("station_metrics");
  std::ofstream(dir.File("metrics.txt")) << metrics;
  std::ofstream(dir.File("stats.json")) << stats;
  const std::string command = std::string("/usr/bin/python3 ") + CHECK_METRICS_PATH + " " +
                              dir.File("metrics.txt") + " " + dir.File("stats.json") + " >" +
                              dir.File("check.out") + " 2>&1";
  const bool agree = std::system(command.c_str()) == 0;
  std::fprintf(stderr, "check_metrics.py: %s", ReadFile(dir.File("check.out")).c_str());
  return agree;
}

TEST(LiveServer, AStationServesEveryCameraOnEachRoute) {
  // Camera 1 runs on with 5 whole images and no preview yet; camera 2 ended after 3 images, one
  // of them incomplete (exit status 1), its last image previewed.
  RunRecords first;
  RunRecords second;
  PreviewWorker first_preview(2048);
  PreviewWorker second_preview(2048);
  RunFacts facts = OpenedFacts("127.0.93.9", "127.0.93.11:1234", 100);
  first.Begin(facts);
  for (int n = 1; n <= 5; ++n) first.Add(Record(n));
  facts.camera = "127.0.93.12:1234";
  facts.requested_images = 3;
  second.Begin(facts);
  for (int n = 1; n <= 3; ++n) {
    ImageRecord r = Record(n);
    r.complete = n != 2;
    second.Add(r);
  }
  facts.ended_by = RunEnd::kImages;
  second.Finish(facts);
  auto image = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[RAW_IMAGE_SIZE]());
  second_preview.Finish(image, 3);
  LiveServer server({{&first, &first_preview}, {&second, &second_preview}});
  std::string error;
  ASSERT_TRUE(server.Start("127.0.93.1", kPort, error)) << error;
  const auto get = [](const std::string& path) { return HttpGet("127.0.93.1", kPort, path); };

  const HttpReply stats_reply = get("/stats.json?from=3");
  ASSERT_EQ(stats_reply.status, 200);
  const nlohmann::json stats = nlohmann::json::parse(stats_reply.body);
  EXPECT_EQ(stats["station"], nlohmann::json::parse(R"({"cameras": 2, "running": 1,
            "exit_status": 1, "exit_status_camera": 2})"));
  ASSERT_EQ(stats["cameras"].size(), 2u);
  EXPECT_EQ(stats["cameras"][0]["camera"], "127.0.93.11:1234");
  EXPECT_EQ(stats["cameras"][1]["camera"], "127.0.93.12:1234");
  EXPECT_EQ(stats["cameras"][0]["images"].size(), 3u);  // images 3 to 5
  EXPECT_EQ(stats["cameras"][0]["images"][0]["image"], 3);
  EXPECT_EQ(stats["cameras"][1]["images"].size(), 1u);
  EXPECT_EQ(stats["cameras"][1]["summary"]["incomplete_images"], 1);

  const HttpReply metrics = get("/metrics");
  ASSERT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.fields.at("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  for (const char* sample :
       {"framegrab_images_total{camera=\"127.0.93.11:1234\",result=\"complete\"} 5\n",
        "framegrab_images_total{camera=\"127.0.93.12:1234\",result=\"incomplete\"} 1\n",
        "framegrab_station_exit_status 1\n"}) {
    EXPECT_NE(metrics.body.find(sample), std::string::npos) << sample;
  }
  if (const std::optional<bool> agree = MetricsAgree(metrics.body, get("/stats.json").body)) {
    EXPECT_TRUE(*agree);
  } else {
    std::fprintf(stderr, "note: metrics not parsed: no python3-prometheus-client\n");
  }

  // The page has a panel for each camera, and an event fills both.
  const HttpReply page = get("/");
  EXPECT_NE(page.body.find("<section class=\"camera\" id=\"camera-2\">"), std::string::npos);
  HttpConnection events("127.0.93.1", kPort);
  ASSERT_TRUE(events.Send(HttpRequestText("/events", "127.0.93.1:8080")));
  for (int i = 0; i < 40 && events.Buffered().find("}\n\n") == std::string::npos; ++i) {
    events.Read(milliseconds(100));
  }
  const std::size_t data = events.Buffered().find("\ndata: ");
  ASSERT_NE(data, std::string::npos) << events.Buffered();
  const nlohmann::json event = nlohmann::json::parse(
      events.Buffered().substr(data + 7, events.Buffered().find("\n\n", data) - data - 7));
  ASSERT_EQ(event["cameras"].size(), 2u);
  EXPECT_EQ(event["cameras"][0]["images"], 5);
  EXPECT_EQ(event["cameras"][1]["images"], 3);
  EXPECT_TRUE(event["cameras"][0]["preview"].is_null());
  EXPECT_EQ(event["cameras"][1]["preview"]["image"], 3);
  EXPECT_EQ(event["exit_status"], 1);

  // Each camera's pictures by ?camera=K, the first by default.
  const struct {
    std::string path;
    int status;
    std::string body;  // for a refusal
  } pictures[] = {
      {"/preview.png", 404, "no image yet\n"},
      {"/preview.png?camera=1", 404, "no image yet\n"},
      {"/preview.png?camera=2", 200, ""},
      {"/latest.png?camera=2", 200, ""},
      {"/latest.png?camera=1", 404, "no image yet\n"},
      {"/preview.png?camera=3", 404, "no such camera\n"},
      {"/latest.png?camera=0", 404, "no such camera\n"},
      {"/latest.png?camera=x", 404, "no such camera\n"},
  };
  for (const auto& p : pictures) {
    const HttpReply reply = get(p.path);
    EXPECT_EQ(reply.status, p.status) << p.path;
    if (p.status == 200) {
      EXPECT_EQ(reply.body.substr(1, 3), "PNG") << p.path;
    } else {
      EXPECT_EQ(reply.body, p.body) << p.path;
    }
  }
  EXPECT_EQ(get("/latest.png?camera=2").fields.at("content-disposition"),
            "inline; filename=\"image-3.png\"");

  // In Debian's headless Chromium, once camera 1 has a preview too: both panels filled.
  if (!std::filesystem::exists("/usr/bin/chromium") ||
      std::system("node --version >/dev/null 2>&1") != 0 ||
      !std::filesystem::exists(std::filesystem::path(CHECK_PAGE_PATH).parent_path() /
                               "node_modules/playwright-core")) {
    std::fprintf(stderr, "note: the page not opened in a browser: no chromium or playwright\n");
    return;
  }
  first_preview.Finish(image, 5);
  const TempDir dir("station_page");
  const std::string command = std::string("node ") + CHECK_PAGE_PATH +
                              " station http://127.0.93.1:8080/ >" + dir.File("out") + " 2>" +
                              dir.File("err");
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(dir.File("err"));
  const nlohmann::json shown = nlohmann::json::parse(ReadFile(dir.File("out")));
  EXPECT_EQ(shown["title"], "framegrab: 2 cameras");
  EXPECT_NE(shown["verdict"].get<std::string>().find("set by 127.0.93.12:1234 so far; 1 running"),
            std::string::npos)
      << shown["verdict"];
  ASSERT_EQ(shown["cameras"].size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const nlohmann::json& panel = shown["cameras"][k];
    EXPECT_EQ(panel["title"], "camera " + std::to_string(k + 1) + ": 127.0.93.9 \u2190 camera " +
                                  (k == 0 ? "127.0.93.11:1234" : "127.0.93.12:1234"));
    EXPECT_EQ(panel["images"], k == 0 ? 5 : 3);
    EXPECT_EQ(panel["preview"][0], 512);
    EXPECT_EQ(panel["charts"], 2);
  }
  for (const auto& request : shown["requests"]) {
    EXPECT_TRUE(request.get<std::string>().starts_with("http://127.0.93.1:8080/")) << request;
  }
  server.Stop();
}

TEST(LatestPng, EachImageIsEncodedOnceOneAtATime) {
  std::atomic<int> encoded{0};
  LatestPng latest(2048, [&] { encoded.fetch_add(1); });
  auto first = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[RAW_IMAGE_SIZE]());
  auto second = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[RAW_IMAGE_SIZE]());
  second[0] = 1;

  EXPECT_EQ(latest.Get(first, 1).state, LatestPng::State::kWaiting);
  // While image 1 is encoded, it is waited for; any other is refused.
  EXPECT_EQ(latest.Get(first, 1).state, LatestPng::State::kWaiting);
  EXPECT_EQ(latest.Get(second, 2).state, LatestPng::State::kBusy);
  while (encoded.load() < 1) std::this_thread::sleep_for(milliseconds(5));
  std::vector<std::thread> clients;
  std::vector<LatestPng::File> files(8);
  for (auto& file : files) clients.emplace_back([&] { file = latest.Get(first, 1); });
  for (auto& client : clients) client.join();
  for (const auto& file : files) {
    ASSERT_EQ(file.state, LatestPng::State::kReady);
    EXPECT_EQ(file.png, files.front().png);  // the same file, not a copy
  }
  EXPECT_EQ(files.front().png->substr(1, 3), "PNG");
  EXPECT_EQ(latest.Encodes(), 1);

  EXPECT_EQ(latest.Get(second, 2).state, LatestPng::State::kWaiting);
  while (encoded.load() < 2) std::this_thread::sleep_for(milliseconds(5));
  const LatestPng::File file = latest.Get(second, 2);
  ASSERT_EQ(file.state, LatestPng::State::kReady);
  EXPECT_NE(*file.png, *files.front().png);
  EXPECT_EQ(latest.Encodes(), 2);
}

}  // namespace
}  // namespace fp::test
