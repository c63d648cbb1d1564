#include "nudp/NudpProtocol.h"

#include "tests/framegrab/GrabRig.h"
#include "tests/support/Bytes.h"
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace fp::test {
namespace {

// A classic pcap file of raw IPv4 frames, each a UDP datagram of `payload` from 10.0.0.2 to
// 10.0.0.1 on the ports given, of which the capture kept `snap` bytes.
Bytes RawPcap(std::uint32_t snap, const std::vector<std::pair<std::uint16_t, Bytes>>& frames) {
  Bytes file;
  PutLe(file, 0xA1B2C3D4, 4);
  PutLe(file, 2, 2);
  PutLe(file, 4, 2);
  PutLe(file, 0, 8);
  PutLe(file, snap, 4);
  PutLe(file, 101, 4);
  for (const auto& [port, payload] : frames) {
    Bytes frame;
    PutBe(frame, 0x4500, 2);
    PutBe(frame, 28 + payload.size(), 2);
    PutBe(frame, 0, 4);
    PutBe(frame, 0x4011, 2);  // TTL 64, UDP
    PutBe(frame, 0, 2);
    PutBe(frame, 0x0A000002, 4);
    PutBe(frame, 0x0A000001, 4);
    PutBe(frame, port, 2);
    PutBe(frame, 32100, 2);
    PutBe(frame, 8 + payload.size(), 2);
    PutBe(frame, 0, 2);
    frame.insert(frame.end(), payload.begin(), payload.end());
    const std::size_t kept = std::min<std::size_t>(frame.size(), snap);
    PutLe(file, 1'700'000'000, 4);
    PutLe(file, 0, 4);
    PutLe(file, kept, 4);
    PutLe(file, frame.size(), 4);
    file.insert(file.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(kept));
  }
  return file;
}

// A capture of a lossy, repetitive camera's run read back: every figure the driver gave each
// image, every count and every picture are the live run's; the loss is placed before the host.
TEST(FromCapture, GivesTheFiguresAndPicturesOfTheLiveRun) {
  // camsim writes the capture in the rig's directory, where it runs.
  GrabRig rig(20,
              {"--loss", "0.01", "--duplicate", "0.01", "--drop", "1000-1099", "--repeat-packet",
               "20,2,6", "--answer-twice", "1", "--rate", "300", "--pcap", "camera.pcap"});
  const int live = rig.Grab({"--images", "3", "--json", "live.json", "--save", "live"});
  if (live == 4) GTEST_SKIP() << "an outage on a loaded machine: " << rig.File("err");
  ASSERT_EQ(live, 0) << rig.File("err");
  rig.StopCamera();  // writes the rest of the capture

  ASSERT_EQ(rig.FromCapture({"--from-capture", "camera.pcap", "--json", "cap.json", "--save", "cap",
                             "--records", "cap.jsonl", "--report", "cap.html"}),
            0)
      << rig.File("err");
  const nlohmann::json a = nlohmann::json::parse(rig.File("live.json"));
  const nlohmann::json b = nlohmann::json::parse(rig.File("cap.json"));
  ASSERT_EQ(b["images"].size(), 3u);
  long long lost = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const nlohmann::json& x = a["images"][k];
    const nlohmann::json& y = b["images"][k];
    for (const char* key : {"image", "complete", "stream_packets", "missing_after_stream_packets",
                            "fetched_again_packets", "duplicate_packets", "conflicting_packets",
                            "missing_packet_ranges", "picture_file", "samples"}) {
      EXPECT_EQ(x[key], y[key]) << "image " << k + 1 << " " << key;
    }
    // Every count of the driver's but the second copies of answers, which the driver counts
    // until the moment it hands the image over, a moment no capture shows.
    for (const auto& [key, value] : x["driver"].items()) {
      if (key != "stray_answers" && key != "received_packets") {
        EXPECT_EQ(value, y["driver"][key]) << "image " << k + 1 << " " << key;
      }
    }
    EXPECT_EQ(y["capture"]["lost_before_host_packets"], x["missing_after_stream_packets"]);
    EXPECT_EQ(y["capture"]["lost_in_host_packets"], 0);
    lost += x["missing_after_stream_packets"].get<long long>();
    const std::string picture = x["picture_file"];
    EXPECT_EQ(rig.File("cap/" + picture), rig.File("live/" + picture)) << picture;
  }
  EXPECT_EQ(b["capture_file"], "camera.pcap");
  EXPECT_EQ(b["summary"]["capture"]["lost_before_host_packets"], lost);
  EXPECT_EQ(b["camera_id"], a["camera_id"]);
  const std::string out = rig.File("out");
  EXPECT_NE(out.find("where lost: " + std::to_string(lost) +
                     " packets before the host (not in the capture), 0 inside the host (in the "
                     "capture, asked for again)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("diagnosis: " + std::to_string(lost) +
                     " packets the driver needed are not in the capture: lost before the host"),
            std::string::npos);
  EXPECT_EQ(out.find("processor time"), std::string::npos) << "not a capture's to tell";
  EXPECT_NE(rig.File("cap.html").find("where lost"), std::string::npos);
  const std::string lines = rig.File("cap.jsonl");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 5);  // the run, 3 images, the end
}

// What cannot be read as a camera's traffic, and flags that mean nothing for a capture: one
// line, status 2, and nothing written.
TEST(FromCapture, RefusesWhatItCannotUseAndWritesNothing) {
  GrabRig rig(21, {});
  rig.StopCamera();
  Bytes raw(NUDP_MAX_PACKET_LENGTH, 0x5A);
  const NudpHeader header = BuildCommandHeader(0, 0);
  std::copy(header.begin(), header.end(), raw.begin());
  raw[2] = NUDP_RAW_TOP_BYTE;
  raw[3] = NudpChecksum(raw.data());
  WriteBytes(rig.Path("dns.pcap"), RawPcap(65535, {{53, Bytes(12, 1)}}));
  WriteBytes(rig.Path("short.pcap"), RawPcap(200, {{1234, raw}}));
  Bytes cut = RawPcap(65535, {{1234, raw}, {1234, raw}});
  cut.resize(cut.size() - 100);
  WriteBytes(rig.Path("cut.pcap"), cut);
  WriteBytes(rig.Path("text.pcap"), Bytes(100, 'x'));
  const std::string usage = kGrabUsage;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"dns.pcap"},
       "no NUDP traffic in it (1 frames, 1 UDP datagrams over IPv4): a camera's traffic goes to "
       "and from UDP port 1234\n"},
      {{"short.pcap"},
       "1 UDP frames were cut short by the capture's snap length (200 bytes): a RAW packet's "
       "frame needs at least 1100; take the capture again with -s 0\n"},
      {{"cut.pcap"}, "damaged after 1 frames: "},
      {{"text.pcap"}, "text.pcap: "},
      {{"none.pcap"}, "none.pcap: "},
      {{"dns.pcap", "127.0.0.1"}, ""},
      {{"dns.pcap", "--serve", "8080"}, ""},
  };
  for (const auto& [words, problem] : cases) {
    std::vector<std::string> flags = {"--from-capture"};
    flags.insert(flags.end(), words.begin(), words.end());
    for (const char* output : {"--json", "run.json", "--save", "pics", "--records", "run.jsonl"}) {
      flags.push_back(output);
    }
    EXPECT_EQ(rig.FromCapture(flags), 2) << words[0];
    const std::string err = rig.File("err");
    if (words.size() == 1) {
      const std::string line = "framegrab: --from-capture " + words[0] + ": " + problem;
      EXPECT_TRUE(err.starts_with(line)) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    } else {
      EXPECT_EQ(err, "framegrab: " + (words[1] == "--serve" ? words[1] : "local_ip") +
                         " has no meaning with --from-capture\n" + usage);
    }
    for (const char* output : {"run.json", "pics", "run.jsonl"}) {
      EXPECT_FALSE(std::filesystem::exists(rig.Path(output))) << words[0] << " " << output;
    }
  }
}

// Two cameras in one capture: each gets a run of its own, its files named by its address, one
// summary each in the order their conversations began.
TEST(FromCapture, EachCameraOfACaptureGetsItsOwnRun) {
  GrabRig first(22, {"--rate", "300", "--drop", "7", "--pcap", "camera.pcap"});
  GrabRig second(23, {"--rate", "300", "--pcap", "camera.pcap"});
  ASSERT_EQ(first.Grab({"--images", "1"}), 0) << first.File("err");
  ASSERT_EQ(second.Grab({"--images", "2"}), 0) << second.File("err");
  first.StopCamera();
  second.StopCamera();
  // The second capture's records after the first's, under the first's file header.
  std::string both = first.File("camera.pcap") + second.File("camera.pcap").substr(24);
  std::ofstream(first.Path("both.pcap"), std::ios::binary) << both;

  EXPECT_EQ(first.FromCapture({"--from-capture", "both.pcap", "--json", "-"}), 2);
  EXPECT_EQ(first.File("err"),
            "framegrab: --json - takes one camera's run, and the capture holds 2 cameras: name a "
            "file, each camera's gets its address\n");
  ASSERT_EQ(first.FromCapture({"--from-capture", "both.pcap", "--json", "run.json", "--save",
                               "pics", "--records", "run.jsonl"}),
            0)
      << first.File("err");
  const std::string out = first.File("out");
  const std::size_t a = out.find("camera 127.22.22.1 (host 127.22.22.2):\nimages: 1 complete");
  const std::size_t b = out.find("camera 127.22.23.1 (host 127.22.23.2):\nimages: 2 complete");
  EXPECT_TRUE(a != std::string::npos && b != std::string::npos && a < b) << out;
  for (const auto& [camera, images] : {std::pair{"127.22.22.1", 1}, std::pair{"127.22.23.1", 2}}) {
    const nlohmann::json run =
        nlohmann::json::parse(first.File("run-" + std::string(camera) + ".json"));
    EXPECT_EQ(run["camera"], camera);
    EXPECT_EQ(run["images"].size(), static_cast<std::size_t>(images));
    EXPECT_TRUE(
        std::filesystem::exists(first.Path("pics/" + std::string(camera) + "/image-000001.png")));
    EXPECT_NE(first.File("run-" + std::string(camera) + ".jsonl").find("\"record\":\"end\""),
              std::string::npos);
  }
  EXPECT_EQ(nlohmann::json::parse(first.File(
                "run-127.22.22.1.json"))["summary"]["capture"]["lost_before_host_packets"],
            1);
}

}  // namespace
}  // namespace fp::test
