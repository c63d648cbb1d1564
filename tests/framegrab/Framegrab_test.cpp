// framegrab end to end: the program and the simulated camera as two processes, on addresses of
// 127.22.0.0/16; the simulator's own statistics are the reference for framegrab's figures.

#include "nudp/NudpProtocol.h"
#include "tools/ChartPattern.h"
#include "tools/ImagePattern.h"
#include "tools/SimulatorOptions.h"
#include "tools/StreamPlan.h"

#include "tests/framegrab/GrabRig.h"
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace fp::test {
namespace {

TEST(Framegrab, LossyRunAgreesWithTheCameraAndEveryPictureShowsTheChart) {
  // Paced so that the writer keeps up with every image on a busy machine too.
  GrabRig rig(1, {"--loss", "0.02", "--pattern", "chart", "--rate", "300"});
  ASSERT_EQ(rig.Grab({"--images", "3", "--save", "pics", "--json", "run.json"}), 0)
      << rig.File("err");
  const std::string camsim = rig.StopCamera();
  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  const nlohmann::json& summary = run["summary"];

  // What the camera planned to leave out of each image is what framegrab found missing.
  SimulatorOptions planned;
  planned.loss = 0.02;
  long long streamed = 0;
  ASSERT_EQ(run["images"].size(), 3u);
  for (std::uint32_t k = 1; k <= 3; ++k) {
    const nlohmann::json& image = run["images"][k - 1];
    const auto plan = static_cast<int>(PlanStream(planned, k).size());
    EXPECT_EQ(image["stream_packets"], plan);
    EXPECT_EQ(image["missing_after_stream_packets"], RAW_PACKETS_PER_IMAGE - plan);
    EXPECT_EQ(image["fetched_again_packets"], RAW_PACKETS_PER_IMAGE - plan);
    EXPECT_EQ(image["complete"], true);
    streamed += plan;
  }
  EXPECT_EQ(summary["complete_images"], 3);
  EXPECT_EQ(summary["incomplete_images"], 0);
  EXPECT_EQ(summary["stream_expected_packets"], 3 * RAW_PACKETS_PER_IMAGE);
  // Counted for the whole machine, so other programs' drops show here too.
  EXPECT_EQ(summary["kernel_dropped_packets"],
            summary["kernel_rcvbuf_errors_after_packets"].get<long long>() -
                summary["kernel_rcvbuf_errors_before_packets"].get<long long>());
  EXPECT_EQ(summary["saved_pictures"], 3);
  EXPECT_EQ(summary["exit_status"], 0);
  // The camera's own count of what it sent and served.
  EXPECT_EQ(After(camsim, "images:"), 3) << camsim;
  EXPECT_EQ(After(camsim, "RAW packets sent:"), streamed);
  EXPECT_EQ(After(camsim, "retransmissions served:"), summary["fetched_again_packets"]);
  EXPECT_EQ(summary["missing_after_stream_packets"], summary["fetched_again_packets"]);

  for (std::uint32_t k = 1; k <= 3; ++k) {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    const std::vector<std::uint16_t> samples =
        DecodePng(rig.Path("pics/image-000" + std::to_string(k) + ".png"), width, height);
    ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2) << "image " << k;
    EXPECT_EQ(width, kChartWidth);
    std::size_t wrong = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) wrong += samples[s] != ChartSample(k, s);
    EXPECT_EQ(wrong, 0u) << "image " << k;
  }
}

TEST(Framegrab, CameraThatStreamsNothingIsDiagnosed) {
  GrabRig rig(2, {"--stop-after", "0"});
  EXPECT_EQ(rig.Grab({"--images", "1"}), 0) << rig.File("err");
  const std::string out = rig.File("out");
  EXPECT_NE(out.find("image 1/1: complete, 0 packets from the stream, 8248 missing, 8248 fetched "
                     "again, 0 duplicates, "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\ndiagnosis: No RAW data came although the camera accepted the start "
                     "command. Usual causes: a firewall dropping UDP to the local ports 32100 and "
                     "32101, reverse-path filtering (net.ipv4.conf.*.rp_filter) discarding the "
                     "camera's packets, or the wrong local interface (127.22.2.2 must be the "
                     "address that faces the camera).\n"),
            std::string::npos)
      << out;
}

TEST(Framegrab, SilentCameraEndsWithStatus3) {
  GrabRig rig(3, {"--silent"});
  EXPECT_EQ(rig.Grab({"--images", "2", "--json", "-"}), 3);
  EXPECT_EQ(rig.File("err"),
            "framegrab: the camera at 127.22.3.1:1234 does not answer (binning on: contact "
            "lost)\n");
  const nlohmann::json run = nlohmann::json::parse(rig.File("out"));
  EXPECT_EQ(run["summary"]["exit_status"], 3);
  EXPECT_EQ(run["images"].size(), 0u);
}

TEST(Framegrab, BadFlagsSendNothing) {
  GrabRig rig(4, {});
  const std::string usage =
      "usage: framegrab local_ip remote_ip [--images N] [--duration SECONDS] [--save DIR "
      "[--save-every K]] [--width W] [--json FILE|-] [--logs DIR] [--quiet] [--serve "
      "[ADDR:]PORT] [--report FILE.html]\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "framegrab: The following argument was not expected: --bogus\n"},
      {{"--images", "0"}, "framegrab: --images: Value 0 not in range 1 to 100000000\n"},
      {{"--width", "1000"},
       "framegrab: --width: needs a divisor of 4222976 (2048 gives 2048 x 2062)\n"},
      {{"--save-every", "2"}, "framegrab: --save-every needs --save DIR\n"},
      {{"--serve", "127.0.0.1:70000"}, "framegrab: --serve: needs [ADDR:]PORT, PORT 1 to 65535\n"},
  };
  for (const auto& [flags, line] : cases) {
    EXPECT_EQ(rig.Grab(flags), 2) << flags[0];
    EXPECT_EQ(rig.File("err"), line + usage);
  }
  // An empty word where the camera's address goes.
  const pid_t empty =
      Spawn({FRAMEGRAB_PATH, rig.Local(), ""}, rig.Path(""), rig.Path("out"), rig.Path("err"));
  EXPECT_EQ(AwaitExit(empty, std::chrono::seconds(20)), 2);
  EXPECT_EQ(rig.File("err"), "framegrab: remote_ip: needs an address or a host name\n" + usage);
  EXPECT_EQ(After(rig.StopCamera(), "commands received:"), 0);
}

TEST(Framegrab, EndsOnItsDurationAndAfterTheCurrentImageOnSigterm) {
  GrabRig rig(5, {});
  EXPECT_EQ(rig.Grab({"--images", "1000", "--duration", "0.3", "--json", "run.json"}), 0);
  nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  EXPECT_EQ(run["summary"]["ended_by"], "duration");
  EXPECT_GE(run["images"].size(), 1u);

  const pid_t grab = rig.StartGrab({"--images", "1000", "--json", "run.json"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(grab, SIGTERM);
  EXPECT_EQ(AwaitExit(grab, std::chrono::seconds(60)), 143);
  run = nlohmann::json::parse(rig.File("run.json"));
  EXPECT_EQ(run["summary"]["ended_by"], "signal");
  EXPECT_EQ(run["summary"]["exit_status"], 143);
  EXPECT_EQ(run["summary"]["complete_images"], run["images"].size());
  EXPECT_NE(rig.File("out").find("(ended by signal)\n"), std::string::npos);
}

TEST(Framegrab, PictureThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  // Slow enough for the writer to keep up with every image even in a sanitizer build.
  GrabRig rig(6, {"--rate", "100"});
  std::filesystem::create_directories(rig.Path("pics/image-0002.png"));
  EXPECT_EQ(rig.Grab({"--images", "3", "--save", "pics", "--json", "run.json"}), 1);
  EXPECT_EQ(rig.File("err"), "framegrab: cannot write pics/image-0002.png: Is a directory\n");
  const nlohmann::json summary = nlohmann::json::parse(rig.File("run.json"))["summary"];
  EXPECT_EQ(summary["complete_images"], 3);
  EXPECT_EQ(summary["saved_pictures"], 2);
  EXPECT_EQ(summary["failed_pictures"], 1);
  EXPECT_EQ(summary["unsaved_pictures"], 0);
}

}  // namespace
}  // namespace fp::test
