// framegrab with several cameras at once, a station: camsims on addresses of 127.22.30.0 to
// 127.22.34.0, each camera's own statistics the reference for that camera's figures.

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/SimulatorOptions.h"
#include "tools/camsim/StreamPlan.h"

#include "tests/framegrab/GrabRig.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace fp::test {
namespace {

// framegrab in `rigs[0]`'s directory with every rig's address pair and `flags`.
pid_t StartStation(const std::vector<const GrabRig*>& rigs, const std::vector<std::string>& flags) {
  std::vector<std::string> args = {FRAMEGRAB_PATH};
  for (const GrabRig* rig : rigs) {
    args.push_back(rig->Local());
    args.push_back(rig->Camera());
  }
  args.insert(args.end(), flags.begin(), flags.end());
  return Spawn(args, rigs[0]->Path(""), rigs[0]->Path("out"), rigs[0]->Path("err"));
}

// The record lines of `camera`, each parsed, in the file's order.
std::vector<nlohmann::json> LinesOf(const std::string& text, const std::string& camera) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    if (!nlohmann::json::accept(line)) continue;
    const nlohmann::json parsed = nlohmann::json::parse(line);
    if (parsed["camera"] == camera) lines.push_back(parsed);
  }
  return lines;
}

// Checks the picture of a camera's image against camsim's image `streamed` (its own number
// for the image): every byte, or with `missing` (packet ranges) zeros there and every other
// byte exact.
void ExpectPicture(const std::string& path, std::uint32_t streamed,
                   const nlohmann::json& missing = nlohmann::json::array()) {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  const std::vector<std::uint16_t> samples = DecodePng(path, width, height);
  ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2) << path;
  std::vector<std::uint8_t> bytes(RAW_IMAGE_SIZE);
  for (std::size_t s = 0; s < samples.size(); ++s) {
    bytes[2 * s] = static_cast<std::uint8_t>(samples[s] & 0xFF);
    bytes[2 * s + 1] = static_cast<std::uint8_t>(samples[s] >> 8);
  }
  std::vector<std::uint8_t> expected(RAW_IMAGE_SIZE);
  FillImageBytes(streamed, 0, expected.data(), expected.size());
  for (const nlohmann::json& range : missing) {
    const auto from = range[0].get<std::size_t>() * RAW_PACKET_DATA_LENGTH;
    const auto to = (range[1].get<std::size_t>() + 1) * RAW_PACKET_DATA_LENGTH;
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(from),
              expected.begin() + static_cast<std::ptrdiff_t>(std::min(to, expected.size())), 0);
  }
  EXPECT_TRUE(bytes == expected) << path << " is not camsim's image " << streamed;
}

// The picture of `image`, a record of `camera`'s, in the folder of the station run in `station`.
std::string Picture(const GrabRig& station, const GrabRig& camera, const nlohmann::json& image) {
  return station.Path("pics/" + camera.Camera() + "/" + image["picture_file"].get<std::string>());
}

// Three cameras at once: one losing and repeating packets, one clean, one that goes away for
// two seconds. Each camera's figures are its own camsim's counts, its pictures its own
// images, the outage is the third camera's alone and the others go on through it; the station
// ends with the worst exit status, the camera's that set it named.
TEST(Station, EachCameraHasItsOwnFiguresPicturesAndOutage) {
  using std::chrono::milliseconds;
  const std::vector<std::string> lossy_flags = {"--loss", "0.01",   "--duplicate",
                                                "0.01",   "--rate", "200"};
  GrabRig lossy(30, lossy_flags);
  GrabRig clean(31, {"--rate", "200"});
  GrabRig away(32, {"--rate", "200"});
  const pid_t grab = StartStation({&lossy, &clean, &away},
                                  {"--images", "100000", "--duration", "5s", "--json", "run.json",
                                   "--save", "pics", "--records", "run.jsonl"});
  // The third camera has an image filed: all three are streaming.
  ASSERT_TRUE(AwaitText(lossy.Path("run.jsonl"),
                        R"({"record":"image","camera":")" + away.Camera() + ":1234\"",
                        std::chrono::seconds(30), grab))
      << lossy.File("err");
  const auto down = std::chrono::steady_clock::now();
  const std::string away_before = away.StopCamera();
  std::this_thread::sleep_for(milliseconds(2000));
  away.StartCamera({"--rate", "200"});
  const double down_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - down).count();
  const int status = AwaitExit(grab, std::chrono::seconds(60));
  const std::string lossy_camsim = lossy.StopCamera();
  const std::string clean_camsim = clean.StopCamera();
  const std::string away_after = away.StopCamera();

  const nlohmann::json station = nlohmann::json::parse(lossy.File("run.json"));
  ASSERT_EQ(station["cameras"].size(), 3u);
  const nlohmann::json& first = station["cameras"][0];
  const nlohmann::json& second = station["cameras"][1];
  const nlohmann::json& third = station["cameras"][2];
  // A machine so loaded that a camsim stalls past three 100 ms attempts makes outages of its
  // own; such a run's figures are not compared.
  if (!first["outages"].empty() || !second["outages"].empty() || third["outages"].size() > 1) {
    GTEST_SKIP() << "outages on a loaded machine: " << lossy.File("err");
  }
  EXPECT_EQ(status, 4) << lossy.File("err");
  EXPECT_EQ(station["program"], "framegrab");
  EXPECT_EQ(station["station"], nlohmann::json::parse(R"({"cameras": 3, "running": 0,
      "exit_status": 4, "exit_status_camera": 3})"));
  const std::vector<const GrabRig*> rigs = {&lossy, &clean, &away};
  for (std::size_t i = 0; i < 3; ++i) {
    const nlohmann::json& run = station["cameras"][i];
    SCOPED_TRACE("camera " + std::to_string(i + 1));
    EXPECT_EQ(run["camera"], rigs[i]->Camera() + ":1234");
    EXPECT_EQ(run["local"], rigs[i]->Local());
    EXPECT_EQ(run["summary"]["ended_by"], "duration");
    EXPECT_EQ(run["summary"]["exit_status"], i == 2 ? 4 : 0);
    EXPECT_EQ(run["summary"]["saved_pictures"], run["images"].size());
    ExpectLinesMatchJson(LinesOf(lossy.File("run.jsonl"), rigs[i]->Camera() + ":1234"), run);
  }
  // Every line names one of the cameras.
  const std::string lines = lossy.File("run.jsonl");
  std::size_t named = 0;
  for (const GrabRig* rig : rigs) named += LinesOf(lines, rig->Camera() + ":1234").size();
  EXPECT_EQ(named, static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')));

  // The lossy camera: each image the packets camsim planned to send, once each, the rest
  // fetched again; every count the camera's own.
  SimulatorOptions planned;
  planned.loss = 0.01;
  planned.duplicate = 0.01;
  long long planned_packets = 0;
  ASSERT_EQ(After(lossy_camsim, "images:"), static_cast<long long>(first["images"].size()))
      << lossy_camsim;
  for (const nlohmann::json& image : first["images"]) {
    const auto k = image["image"].get<std::uint32_t>();
    const std::vector<int> plan = PlanStream(planned, k);
    const auto unique = static_cast<long long>(std::set<int>(plan.begin(), plan.end()).size());
    // A copy of the last packet right behind it comes once the stream has ended: refused.
    const bool last_twice = plan.size() >= 2 && plan.back() == RAW_LAST_PACKET_INDEX &&
                            plan[plan.size() - 2] == RAW_LAST_PACKET_INDEX;
    planned_packets += static_cast<long long>(plan.size());
    EXPECT_EQ(image["complete"], true) << k;
    EXPECT_EQ(image["stream_packets"], unique) << k;
    EXPECT_EQ(image["duplicate_packets"],
              static_cast<long long>(plan.size()) - unique - (last_twice ? 1 : 0))
        << k;
    EXPECT_EQ(image["fetched_again_packets"], RAW_PACKETS_PER_IMAGE - unique) << k;
    ExpectPicture(Picture(lossy, lossy, image), k);
  }
  const nlohmann::json& summary = first["summary"];
  const nlohmann::json& driver = summary["driver"];
  const long long sent_twice = After(lossy_camsim, "RAW packets sent twice:");
  EXPECT_EQ(After(lossy_camsim, "RAW packets sent:"), planned_packets);
  EXPECT_EQ(summary["stream_packets"], planned_packets - sent_twice);
  EXPECT_EQ(
      driver["duplicate_packets"].get<long long>() + driver["refused_packets"].get<long long>(),
      sent_twice);
  EXPECT_EQ(summary["duplicate_packets"], driver["duplicate_packets"]);
  EXPECT_EQ(driver["retransmission_requests"], After(lossy_camsim, "retransmissions served:"));
  EXPECT_EQ(summary["fetched_again_packets"].get<long long>(),
            After(lossy_camsim, "retransmissions served:") -
                driver["repeated_commands"].get<long long>());
  EXPECT_EQ(summary["missing_after_stream_packets"], summary["fetched_again_packets"]);

  // The clean camera: whole streams, nothing fetched, as its camsim sent.
  ASSERT_EQ(After(clean_camsim, "images:"), static_cast<long long>(second["images"].size()))
      << clean_camsim;
  EXPECT_EQ(After(clean_camsim, "RAW packets sent:"),
            RAW_PACKETS_PER_IMAGE * static_cast<long long>(second["images"].size()));
  EXPECT_EQ(After(clean_camsim, "retransmissions served:"), 0);
  for (const nlohmann::json& image : second["images"]) {
    const auto k = image["image"].get<std::uint32_t>();
    EXPECT_EQ(image["complete"], true) << k;
    EXPECT_EQ(image["stream_packets"], RAW_PACKETS_PER_IMAGE) << k;
    EXPECT_EQ(image["fetched_again_packets"], 0) << k;
    EXPECT_EQ(image["duplicate_packets"], 0) << k;
    ExpectPicture(Picture(lossy, clean, image), k);
  }

  // The camera that went away: one outage, as long as it was away, the image it cut short the
  // only incomplete one; its images after the outage the restarted camsim's, numbered from 1.
  ASSERT_EQ(third["outages"].size(), 1u);
  const nlohmann::json& outage = third["outages"][0];
  ASSERT_TRUE(outage["ended_utc"].is_string());
  EXPECT_GE(outage["duration_ms"].get<double>(), down_ms - 100) << outage;
  EXPECT_LE(outage["duration_ms"].get<double>(), down_ms + 2000) << outage;
  std::set<int> cut_short;
  for (const auto& n : outage["lost_images"]) cut_short.insert(n.get<int>());
  EXPECT_LE(cut_short.size(), 1u);
  EXPECT_EQ(third["summary"]["images_lost_to_outages"], cut_short.size());
  // Its lines on the error stream name it.
  EXPECT_NE(lossy.File("err").find("framegrab: camera " + away.Camera() +
                                   ": outage 1: contact with the camera lost at "),
            std::string::npos)
      << lossy.File("err");
  std::uint32_t before = 0;
  std::uint32_t after = 0;
  for (const nlohmann::json& image : third["images"]) {
    const auto k = image["image"].get<std::uint32_t>();
    const bool lost = cut_short.count(static_cast<int>(k)) != 0;
    EXPECT_EQ(image["complete"], !lost) << k;
    if (image["started_utc"] > outage["ended_utc"]) {
      ++after;
      EXPECT_EQ(image["stream_packets"], RAW_PACKETS_PER_IMAGE) << k;
      ExpectPicture(Picture(lossy, away, image), after);
    } else {
      ++before;
      if (!lost) ExpectPicture(Picture(lossy, away, image), k);
    }
  }
  EXPECT_GE(before, 1u);
  EXPECT_GE(after, 1u);
  EXPECT_EQ(After(away_after, "images:"), after) << away_after;
  EXPECT_EQ(After(away_after, "RAW packets sent:"),
            RAW_PACKETS_PER_IMAGE * static_cast<long long>(after));
  EXPECT_GE(After(away_before, "images:"), static_cast<long long>(before - cut_short.size()))
      << away_before;

  // The summary: a block for each camera in the order given, the outage in the third alone,
  // then the station's verdict; the outage on standard error.
  const std::string out = lossy.File("out");
  std::vector<std::size_t> blocks;
  for (const GrabRig* rig : rigs) {
    blocks.push_back(
        out.find("camera " + rig->Camera() + " (local " + rig->Local() + "):\nimages: "));
    ASSERT_NE(blocks.back(), std::string::npos) << out;
  }
  EXPECT_TRUE(blocks[0] == 0 && blocks[0] < blocks[1] && blocks[1] < blocks[2]) << out;
  EXPECT_EQ(out.find("\noutages: 1, "), out.find("\noutages: ", blocks[2])) << out;
  EXPECT_TRUE(out.ends_with(
      "\nstation: 3 cameras: " + lossy.Camera() + ":1234 exit status 0 (every image complete), " +
      clean.Camera() + ":1234 exit status 0 (every image complete), " + away.Camera() +
      ":1234 exit status 4 (outages ridden out); the station's exit status 4, set by " +
      away.Camera() + ":1234\n"))
      << out;
  EXPECT_NE(lossy.File("err").find("outage 1 over at "), std::string::npos) << lossy.File("err");
}

// An image that stays incomplete on one camera sets the station's exit status 1, its camera
// named, while the other's images are all whole.
TEST(Station, IncompleteImageOnOneCameraSetsTheStatus) {
  GrabRig clean(33, {"--rate", "300"});
  GrabRig failing(34, {"--drop", "100-102", "--short-retransmit", "0", "--short-retransmit", "0",
                       "--short-retransmit", "0", "--rate", "300"});
  const int status =
      AwaitExit(StartStation({&clean, &failing}, {"--images", "2", "--json", "run.json"}),
                std::chrono::seconds(60));
  const nlohmann::json station = nlohmann::json::parse(clean.File("run.json"));
  ASSERT_EQ(station["cameras"].size(), 2u);
  if (!station["cameras"][0]["outages"].empty() || !station["cameras"][1]["outages"].empty()) {
    GTEST_SKIP() << "outages on a loaded machine: " << clean.File("err");
  }
  EXPECT_EQ(status, 1) << clean.File("err");
  EXPECT_EQ(station["station"]["exit_status"], 1);
  EXPECT_EQ(station["station"]["exit_status_camera"], 2);
  EXPECT_EQ(station["cameras"][0]["summary"]["complete_images"], 2);
  EXPECT_EQ(station["cameras"][0]["summary"]["exit_status"], 0);
  EXPECT_EQ(station["cameras"][1]["images"][0]["missing_packet_ranges"],
            nlohmann::json::parse("[[100, 102]]"));
  EXPECT_EQ(station["cameras"][1]["images"][1]["complete"], true);
  EXPECT_EQ(station["cameras"][1]["summary"]["exit_status"], 1);
  EXPECT_TRUE(clean.File("out").ends_with(
      "\nstation: 2 cameras: " + clean.Camera() + ":1234 exit status 0 (every image complete), " +
      failing.Camera() +
      ":1234 exit status 1 (images incomplete or outputs not written); the station's exit status "
      "1, set by " +
      failing.Camera() + ":1234\n"))
      << clean.File("out");
}

// A camera given twice, two cameras on one local address and a camera without its local
// address are usage errors, found before anything is sent.
TEST(Station, WrongPairsAreRefusedBeforeAnythingIsSent) {
  GrabRig first(35, {});
  GrabRig second(36, {});
  const std::string a = first.Camera();
  const std::string b = second.Camera();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{first.Local(), a, second.Local(), a}, "framegrab: camera " + a + " is given twice\n"},
      {{first.Local(), a, first.Local(), b},
       "framegrab: local_ip " + first.Local() + " is given for cameras " + a + " and " + b +
           ": each camera needs a local address of its own (the driver's ports 32100 and 32101 "
           "are fixed)\n"},
      {{first.Local(), a, b},
       "framegrab: camera " + b +
           " has no local_ip before it: give each camera as local_ip remote_ip\n"},
  };
  for (const auto& [pairs, line] : cases) {
    std::vector<std::string> args = {FRAMEGRAB_PATH};
    args.insert(args.end(), pairs.begin(), pairs.end());
    args.insert(args.end(), {"--images", "1"});
    EXPECT_EQ(AwaitExit(Spawn(args, first.Path(""), first.Path("out"), first.Path("err")),
                        std::chrono::seconds(30)),
              2)
        << line;
    EXPECT_EQ(first.File("err"), line + kGrabUsage);
  }
  EXPECT_EQ(After(first.StopCamera(), "commands received:"), 0);
  EXPECT_EQ(After(second.StopCamera(), "commands received:"), 0);
}

}  // namespace
}  // namespace fp::test
