// framegrab's live page and report, end to end on addresses of 127.23.0.0/16: camsim and
// framegrab --serve as processes, the routes read over HTTP, and the pages opened in Debian's
// headless Chromium, whose own view of them (DOM, loaded images, requests) is checked.

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ChartPattern.h"

#include "tests/framegrab/GrabRig.h"
#include "tests/support/HttpClient.h"
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace fp::test {
namespace {

// Why the browser checks cannot run here, or empty when they can.
std::string BrowserMissing() {
  if (!std::filesystem::exists("/usr/bin/chromium")) return "no /usr/bin/chromium";
  if (std::system("node --version >/dev/null 2>&1") != 0) return "no node";
  if (!std::filesystem::exists(std::filesystem::path(CHECK_PAGE_PATH).parent_path() /
                               "node_modules/playwright-core")) {
    return "playwright-core not installed (scripts/install-deps.sh)";
  }
  return "";
}

// Why the metrics cannot be checked here, or empty when they can.
std::string MetricsParserMissing() {
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0) {
    return "no python3-prometheus-client";
  }
  return "";
}

// Whether `metrics` (from /metrics) and `stats` (from /stats.json) say the same, by
// check_metrics.py and the Prometheus client's parser; its findings go to the test's output.
bool MetricsAgree(GrabRig& rig, const std::string& metrics, const std::string& stats) {
  std::ofstream(rig.Path("metrics.txt")) << metrics;
  std::ofstream(rig.Path("stats.json")) << stats;
  const pid_t check = Spawn(
      {"/usr/bin/python3", CHECK_METRICS_PATH, rig.Path("metrics.txt"), rig.Path("stats.json")},
      rig.Path(""), rig.Path("check.out"), rig.Path("check.err"));
  const int status = AwaitExit(check, std::chrono::seconds(60));
  std::fprintf(stderr, "check_metrics.py: %s%s", rig.File("check.out").c_str(),
               rig.File("check.err").c_str());
  return status == 0;
}

// What check-page.mjs saw of the page at `target`.
nlohmann::json OpenInBrowser(GrabRig& rig, const std::string& mode, const std::string& target) {
  const pid_t node = Spawn({"/usr/bin/env", "node", CHECK_PAGE_PATH, mode, target}, rig.Path(""),
                           rig.Path("browser.out"), rig.Path("browser.err"));
  EXPECT_EQ(AwaitExit(node, std::chrono::seconds(120)), 0) << rig.File("browser.err");
  return nlohmann::json::parse(rig.File("browser.out"), nullptr, false);
}

TEST(LivePage, RoutesServeTheRunUntilInterruptedAndNothingElse) {
  GrabRig rig(1, {"--pattern", "chart", "--loss", "0.01", "--rate", "300"}, "127.23");
  const pid_t grab = rig.StartGrab(
      {"--images", "12", "--serve", rig.Local() + ":8080", "--json", "run.json", "--save", "pics"});
  ASSERT_TRUE(AwaitText(rig.Path("out"), "framegrab: serving http://127.23.1.2:8080/\n",
                        std::chrono::seconds(20), grab));
  const HttpReply during = HttpGet(rig.Local(), 8080, "/stats.json");
  ASSERT_EQ(during.status, 200);
  EXPECT_EQ(nlohmann::json::parse(during.body)["summary"]["ended_by"], "running");
  // The pictures are counted as they are written, not at the end.
  bool saved_while_running = false;
  for (int tries = 0; tries < 200 && !saved_while_running; ++tries) {
    const HttpReply stats = HttpGet(rig.Local(), 8080, "/stats.json");
    ASSERT_EQ(stats.status, 200);
    const nlohmann::json summary = nlohmann::json::parse(stats.body)["summary"];
    if (summary["ended_by"] != "running") break;
    saved_while_running = summary["saved_pictures"].get<int>() > 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(saved_while_running);
  // The metrics of a moment while the run goes on: the figures of one model, which the two
  // equal JSON documents around them show.
  const std::string no_parser = MetricsParserMissing();
  for (int tries = 0; no_parser.empty() && tries < 20; ++tries) {
    const HttpReply before = HttpGet(rig.Local(), 8080, "/stats.json");
    const HttpReply metrics = HttpGet(rig.Local(), 8080, "/metrics");
    const HttpReply after = HttpGet(rig.Local(), 8080, "/stats.json");
    ASSERT_TRUE(before.status == 200 && metrics.status == 200 && after.status == 200);
    if (before.body != after.body) continue;
    EXPECT_EQ(metrics.fields.at("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_TRUE(MetricsAgree(rig, metrics.body, before.body));
    break;
  }
  // Refused before anything is sent: the same address again, a report where none can be.
  GrabRig other(2, {}, "127.23");
  EXPECT_EQ(AwaitExit(Spawn({FRAMEGRAB_PATH, other.Local(), other.Camera(), "--serve",
                             rig.Local() + ":8080"},
                            other.Path(""), other.Path("out"), other.Path("err")),
                      std::chrono::seconds(20)),
            2);
  EXPECT_EQ(other.File("err"),
            "framegrab: --serve 127.23.1.2:8080: cannot listen: Address already in use\n");
  EXPECT_EQ(AwaitExit(Spawn({FRAMEGRAB_PATH, other.Local(), other.Camera(), "--report",
                             "/nonexistent/run.html"},
                            other.Path(""), other.Path("out"), other.Path("err")),
                      std::chrono::seconds(20)),
            2);
  EXPECT_EQ(other.File("err"),
            "framegrab: --report /nonexistent/run.html: No such file or directory\n");
  EXPECT_EQ(After(other.StopCamera(), "commands received:"), 0);

  ASSERT_TRUE(AwaitText(rig.Path("out"),
                        "framegrab: still serving http://127.23.1.2:8080/ until "
                        "interrupted\n",
                        std::chrono::seconds(120), grab))
      << rig.File("err");
  const std::string camsim = rig.StopCamera();
  const std::string stats_text = HttpGet(rig.Local(), 8080, "/stats.json").body;
  const nlohmann::json stats = nlohmann::json::parse(stats_text);
  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  EXPECT_EQ(stats, run);
  if (no_parser.empty()) {
    EXPECT_TRUE(MetricsAgree(rig, HttpGet(rig.Local(), 8080, "/metrics").body, stats_text));
  } else {
    std::fprintf(stderr, "note: metrics not parsed: %s\n", no_parser.c_str());
  }
  const nlohmann::json& summary = stats["summary"];
  // A machine so loaded that camsim stalls past three 100 ms attempts makes an outage, which the
  // run rides out; the routes are checked all the same, the figures of such a run are not.
  const bool lost = !stats["outages"].empty();
  if (lost) {
    std::fprintf(stderr, "note: an outage on a loaded machine; figures not compared\n");
  } else {
    EXPECT_EQ(summary["complete_images"], 12);
    EXPECT_EQ(After(camsim, "images:"), 12) << camsim;
    EXPECT_EQ(After(camsim, "RAW packets sent:"),
              summary["stream_expected_packets"].get<long long>() -
                  summary["missing_after_stream_packets"].get<long long>());
    EXPECT_EQ(After(camsim, "retransmissions served:"), summary["fetched_again_packets"]);

    // The last image, whole and 16-bit.
    const HttpReply latest = HttpGet(rig.Local(), 8080, "/latest.png");
    EXPECT_EQ(latest.status, 200);
    EXPECT_EQ(latest.fields.at("content-disposition"), "inline; filename=\"image-12.png\"");
    std::ofstream(rig.Path("latest.png"), std::ios::binary) << latest.body;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    const std::vector<std::uint16_t> samples = DecodePng(rig.Path("latest.png"), width, height);
    ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2);
    std::size_t wrong = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) wrong += samples[s] != ChartSample(12, s);
    EXPECT_EQ(wrong, 0u);
  }

  // Nothing else is served, and nothing can be changed.
  for (const char* path : {"/stats", "/index.html", "/../run.json", "/latest.png/x"}) {
    EXPECT_EQ(HttpGet(rig.Local(), 8080, path).status, 404) << path;
  }
  HttpConnection post(rig.Local(), 8080);
  post.Send("POST /stats.json HTTP/1.1\r\nHost: " + rig.Local() +
            ":8080\r\nContent-Length: 2\r\n\r\n{}");
  EXPECT_EQ(post.Next(std::chrono::seconds(5)).status, 405);

  kill(grab, SIGTERM);
  EXPECT_EQ(AwaitExit(grab, std::chrono::seconds(10)), lost ? 4 : 0);
}

TEST(LivePage, ServedBeyondLoopbackItSaysSoAndAnswersAnyHost) {
  GrabRig rig(4, {}, "127.23");
  const pid_t grab = rig.StartGrab({"--images", "1", "--serve", "0.0.0.0:8084"});
  ASSERT_TRUE(AwaitText(rig.Path("out"), "framegrab: serving http://0.0.0.0:8084/\n",
                        std::chrono::seconds(20), grab));
  EXPECT_EQ(rig.File("err"),
            "framegrab: warning: the page at http://0.0.0.0:8084/ can be read from the network, "
            "and it has no password\n");
  HttpConnection c(rig.Local(), 8084);
  c.Send(HttpRequestText("/stats.json", "labpc.example:8084", "Connection: close\r\n"));
  EXPECT_EQ(c.Next(std::chrono::seconds(5)).status, 200);
  kill(grab, SIGTERM);
  EXPECT_NE(AwaitExit(grab, std::chrono::seconds(10)), -1);
}

TEST(LivePage, BrowserSeesTheImageAndFiguresGrowAndTheReportOffline) {
  const std::string missing = BrowserMissing();
  if (!missing.empty()) GTEST_SKIP() << missing;
  GrabRig rig(3, {"--pattern", "chart", "--rate", "200"}, "127.23");
  const pid_t grab =
      rig.StartGrab({"--images", "40", "--serve", rig.Local() + ":8080", "--report", "run.html"});
  ASSERT_TRUE(AwaitText(rig.Path("out"), "framegrab: serving", std::chrono::seconds(20), grab));
  const std::string url = "http://" + rig.Local() + ":8080/";
  const nlohmann::json live = OpenInBrowser(rig, "live", url);
  ASSERT_TRUE(live.is_object()) << rig.File("browser.out");
  EXPECT_LT(live["images_seen"][0], live["images_seen"][1]);
  EXPECT_EQ(live["preview"], nlohmann::json::parse("[512, 515]"));
  EXPECT_EQ(live["charts"], nlohmann::json::parse(R"(["Image time", "Packets per image"])"));
  EXPECT_TRUE(live["histogram"].get<std::string>().starts_with("Samples of image "))
      << live["histogram"];
  EXPECT_EQ(live["title"], "framegrab: 127.23.3.2 \u2190 camera 127.23.3.1:1234");
  for (const char* figure :
       {"images", "rate", "loss", "fetched", "image-time", "kernel-drops", "samples"}) {
    EXPECT_TRUE(live["figures"].contains(figure)) << figure;
  }
  for (const auto& request : live["requests"]) {
    EXPECT_EQ(request.get<std::string>().rfind(url, 0), 0u) << request;
  }

  ASSERT_TRUE(
      AwaitText(rig.Path("out"), "framegrab: still serving", std::chrono::seconds(120), grab));
  kill(grab, SIGINT);
  // As in the routes' test: a run that lost contact on a loaded machine rode out an outage
  // (exit 4), and the report is checked for what it shows, not for 40 whole images.
  const int status = AwaitExit(grab, std::chrono::seconds(10));
  const bool lost = status == 4;
  if (!lost) {
    EXPECT_EQ(status, 0);
  }
  const nlohmann::json report = OpenInBrowser(rig, "report", rig.Path("run.html"));
  ASSERT_TRUE(report.is_object()) << rig.File("browser.out");
  const int taken = report["figures"]["images"];
  if (lost) {
    std::fprintf(stderr, "note: an outage on a loaded machine, %d images\n", taken);
  } else {
    EXPECT_EQ(taken, 40);
  }
  EXPECT_EQ(report["figures"]["fetched"], 0);
  EXPECT_EQ(report["preview"], nlohmann::json::parse("[512, 515]"));
  EXPECT_EQ(report["charts"].size(), 2u);
  EXPECT_EQ(report["histogram"], "Samples of image " + std::to_string(taken));
  EXPECT_EQ(report["command"],
            "framegrab 127.23.3.2 127.23.3.1 --images 40 --serve "
            "127.23.3.2:8080 --report run.html");
  EXPECT_EQ(report["requests"], nlohmann::json::array({"file://" + rig.Path("run.html")}));
}

}  // namespace
}  // namespace fp::test
