// A station's views of several cameras: the worst exit status and who sets it, the metrics with
// each family once and every camera's samples its own, the live page's panels and event, and
// the report, each camera's parts under ids of their own.

#include "nudp/NudpProtocol.h"

#include "framegrab/model/RunModel.h"
#include "framegrab/views/MetricsView.h"
#include "framegrab/views/PageView.h"
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fp {
namespace {

// A camera's run with `images` whole images of `asked`, ended by `ended_by`.
RunModel Camera(const std::string& address, int images, int asked, RunEnd ended_by) {
  RunFacts facts;
  facts.version = "9.9";
  facts.local = "127.0.93.9";
  facts.camera = address;
  facts.opened = true;
  facts.requested_images = asked;
  facts.ended_by = ended_by;
  RunTotals totals;
  RecordList::Chunk chunk;
  for (int n = 1; n <= images; ++n) {
    ImageRecord r;
    r.number = n;
    r.complete = true;
    r.stream_packets = RAW_PACKETS_PER_IMAGE;
    r.image_ms = 70 + n;
    r.samples.min = static_cast<std::uint16_t>(n);
    totals.Add(r);
    chunk.push_back(r);
  }
  return BuildModel(facts, RecordList({}, std::make_shared<const RecordList::Chunk>(chunk)),
                    totals);
}

// The ids in `html`, each as often as it is there.
std::multiset<std::string> Ids(const std::string& html) {
  static const std::regex id(" id=\"([^\"]+)\"");
  std::multiset<std::string> ids;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), id); it != std::sregex_iterator();
       ++it) {
    ids.insert((*it)[1]);
  }
  return ids;
}

// The parts of a camera's panel the page's script fills in, with their ids' `suffix`.
std::vector<std::string> PanelIds(const std::string& suffix) {
  std::vector<std::string> ids;
  for (const char* part : {"title", "state", "preview", "note", "figures", "diagnoses", "updated",
                           "histogram", "charts"}) {
    ids.push_back(part + suffix);
  }
  return ids;
}

TEST(StationViews, TheWorstExitStatusAndTheFirstCameraWithIt) {
  struct Case {
    std::vector<int> statuses;
    int worst;
    std::size_t camera;
  };
  const Case cases[] = {
      {{}, 0, 0},           {{0}, 0, 0},           {{0, 0}, 0, 0},    {{0, 4}, 4, 1},
      {{4, 1}, 1, 1},       {{1, 4, 0}, 1, 0},     {{1, 3, 4}, 3, 1}, {{4, 3, 1}, 3, 1},
      {{3, 130}, 130, 1},   {{130, 3, 1}, 130, 0}, {{0, 1, 1}, 1, 1}, {{143, 130}, 143, 0},
      {{0, 0, 4, 4}, 4, 2},
  };
  for (const Case& c : cases) {
    std::vector<RunModel> runs(c.statuses.size());
    std::vector<const RunModel*> models;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      runs[i].summary.exit_status = c.statuses[i];
      models.push_back(&runs[i]);
    }
    std::size_t camera = 99;
    EXPECT_EQ(WorstExitStatus(models, &camera), c.worst) << ::testing::PrintToString(c.statuses);
    EXPECT_EQ(camera, c.camera) << ::testing::PrintToString(c.statuses);
  }
}

TEST(StationViews, MetricsNameEachFamilyOnceAndGiveEachCameraItsOwnRunsSamples) {
  RunModel first = Camera("127.0.93.1:1234", 3, 3, RunEnd::kImages);
  RunModel second = Camera("127.0.93.2:1234", 0, 5, RunEnd::kRunning);
  second.summary.exit_status = 3;
  const std::string text = StationToMetrics({&first, &second});

  // Each family's lines together: HELP and TYPE once, then only its own samples.
  std::map<std::string, int> helps;
  std::map<std::string, int> types;
  std::string family;
  std::map<std::string, std::string> by_camera;  // the camera label's text: its sample lines
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("# HELP ")) {
      family = line.substr(7, line.find(' ', 7) - 7);
      ++helps[family];
      continue;
    }
    if (line.starts_with("# TYPE ")) {
      ++types[line.substr(7, line.find(' ', 7) - 7)];
      continue;
    }
    const std::string name = line.substr(0, line.find_first_of("{ "));
    EXPECT_TRUE(name == family || name.starts_with(family + "_")) << line << " under " << family;
    const std::size_t at = line.find("camera=\"");
    by_camera[at == std::string::npos ? "" : line.substr(at, line.find('"', at + 8) - at + 1)] +=
        line + "\n";
  }
  for (const auto& [name, count] : helps) EXPECT_EQ(count, 1) << name;
  EXPECT_EQ(helps.size(), types.size());
  for (const auto& [name, count] : types) EXPECT_EQ(count, 1) << name;
  EXPECT_TRUE(helps.contains("framegrab_latest_image_number"));  // the first camera's alone

  // Each camera's samples are its lone run's, in the same order.
  const std::map<std::string, const RunModel*> runs = {{"camera=\"127.0.93.1:1234\"", &first},
                                                       {"camera=\"127.0.93.2:1234\"", &second}};
  for (const auto& [label, model] : runs) {
    std::string alone;
    std::istringstream run(RunToMetrics(*model));
    for (std::string line; std::getline(run, line);) {
      if (!line.starts_with("#")) alone += line + "\n";
    }
    EXPECT_EQ(by_camera[label], alone) << label;
  }
  EXPECT_EQ(by_camera[""], "framegrab_station_cameras 2\nframegrab_station_exit_status 3\n");
  EXPECT_EQ(by_camera.size(), 3u);
}

TEST(StationViews, ThePageHasAPanelForEachCameraUnderIdsOfItsOwn) {
  // A lone camera's page has the parts the script fills in, under their plain ids.
  const std::multiset<std::string> lone = Ids(LivePageHtml());
  const std::vector<std::string> plain = PanelIds("");
  EXPECT_EQ(lone, std::multiset<std::string>(plain.begin(), plain.end()));
  EXPECT_NE(LivePageHtml().find("<h1 id=\"title\">"), std::string::npos);

  for (const std::size_t cameras : {2u, 3u}) {
    std::multiset<std::string> want = {"title", "station"};
    for (std::size_t k = 1; k <= cameras; ++k) {
      const std::string suffix = "-" + std::to_string(k);
      for (const std::string& id : PanelIds(suffix)) want.insert(id);
      want.insert("camera" + suffix);
    }
    const std::string page = LivePageHtml(cameras);
    EXPECT_EQ(Ids(page), want) << cameras;
    EXPECT_NE(page.find("<h2 id=\"title-" + std::to_string(cameras) + "\">"), std::string::npos);
  }
}

TEST(StationViews, TheEventCarriesEachCamerasPanelAndTheVerdict) {
  RunModel first = Camera("127.0.93.1:1234", 4, 10, RunEnd::kRunning);
  RunModel second = Camera("127.0.93.2:1234", 2, 2, RunEnd::kImages);
  second.summary.exit_status = 1;
  Preview preview;
  preview.image = 2;
  const nlohmann::json event =
      nlohmann::json::parse(StationEventJson({&first, &second}, {nullptr, &preview}));
  EXPECT_EQ(event["exit_status"], 1);
  ASSERT_EQ(event["cameras"].size(), 2u);
  const nlohmann::json& one = event["cameras"][0];
  const nlohmann::json& two = event["cameras"][1];
  EXPECT_EQ(one["title"], "camera 1: 127.0.93.9 \u2190 camera 127.0.93.1:1234");
  EXPECT_EQ(two["title"], "camera 2: 127.0.93.9 \u2190 camera 127.0.93.2:1234");
  EXPECT_EQ(one["images"], 4);
  EXPECT_EQ(two["images"], 2);
  EXPECT_TRUE(one["preview"].is_null());
  EXPECT_EQ(two["preview"]["image"], 2);
  // A panel's figure rows carry its suffix; the other's none of them.
  EXPECT_NE(one["figures"].get<std::string>().find("<tr id=\"images-1\">"), std::string::npos);
  EXPECT_EQ(one["figures"].get<std::string>().find("-2\""), std::string::npos);
  EXPECT_NE(two["figures"].get<std::string>().find("<tr id=\"images-2\">"), std::string::npos);
  // The verdict names the camera that sets the status so far, and marks its state.
  const std::string station = event["station"];
  EXPECT_NE(station.find("set by 127.0.93.2:1234 so far; 1 running"), std::string::npos) << station;
  EXPECT_NE(station.find("<li id=\"state-of-1\">camera 1, 127.0.93.1:1234 from 127.0.93.9: "
                         "running: image 4 of 10</li>"),
            std::string::npos)
      << station;
  EXPECT_NE(station.find("<li id=\"state-of-2\" class=\"worst\">camera 2, 127.0.93.2:1234 from "
                         "127.0.93.9: ended by images after 2 of 2 images, exit status 1</li>"),
            std::string::npos)
      << station;

  // A lone camera's event keeps its own title, unsuffixed figures and no station.
  const nlohmann::json lone = nlohmann::json::parse(LiveEventJson(first, nullptr));
  EXPECT_EQ(lone["title"], "framegrab: 127.0.93.9 \u2190 camera 127.0.93.1:1234");
  EXPECT_NE(lone["figures"].get<std::string>().find("<tr id=\"images\">"), std::string::npos);
  EXPECT_FALSE(lone.contains("station"));
}

TEST(StationViews, TheReportHasTheVerdictAndEachCamerasPartsOnce) {
  const RunModel first = Camera("127.0.93.1:1234", 3, 3, RunEnd::kImages);
  const RunModel second = Camera("127.0.93.2:1234", 1, 3, RunEnd::kSignal);
  Preview preview;
  preview.image = 1;
  preview.png = "not really a PNG";
  const std::string html =
      StationReportHtml({&first, &second}, {&preview, nullptr}, "framegrab a b c d");
  const std::multiset<std::string> ids = Ids(html);
  for (const std::string& id : ids) EXPECT_EQ(ids.count(id), 1u) << id;
  for (const char* id : {"title", "state", "command", "station", "verdict", "camera-1", "title-1",
                         "figures-1", "images-1", "preview-1", "note-1", "histogram-1", "charts-1",
                         "camera-2", "title-2", "figures-2", "images-2", "charts-2"}) {
    EXPECT_EQ(ids.count(id), 1u) << id;
  }
  EXPECT_EQ(ids.count("preview-2"), 0u);  // no preview for it
  EXPECT_NE(html.find("<h1 id=\"title\">framegrab: 2 cameras</h1>"), std::string::npos);
  EXPECT_NE(html.find("ended by signal after 1 of 3 images"), std::string::npos);
  EXPECT_LT(html.find("id=\"verdict\""), html.find("id=\"camera-1\""));
  EXPECT_LT(html.find("id=\"camera-1\""), html.find("id=\"camera-2\""));
}

}  // namespace
}  // namespace fp
