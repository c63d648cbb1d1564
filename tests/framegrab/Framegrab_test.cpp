// framegrab end to end: the program and the simulated camera as two processes, on addresses of
// 127.22.0.0/16; the simulator's own statistics are the reference for framegrab's figures.

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ChartPattern.h"
#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/SimulatorOptions.h"
#include "tools/camsim/StreamPlan.h"

#include "tests/framegrab/GrabRig.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <tiffio.h>
#include <unistd.h>

namespace fp::test {
namespace {

TEST(Framegrab, LossyRunAgreesWithTheCameraAndEveryPictureShowsTheChart) {
  // Paced so that the writer keeps up with every image on a busy machine too.
  GrabRig rig(1, {"--loss", "0.02", "--pattern", "chart", "--rate", "100"});
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
        DecodePng(rig.Path("pics/image-00000" + std::to_string(k) + ".png"), width, height);
    ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2) << "image " << k;
    EXPECT_EQ(width, kChartWidth);
    std::size_t wrong = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) wrong += samples[s] != ChartSample(k, s);
    EXPECT_EQ(wrong, 0u) << "image " << k;
  }
}

// The sum of camsim's per-port lines "... from port <port>: N" of its statistics.
long long CommandsFromPort(const std::string& camsim, int port) {
  const std::regex line("from port +" + std::to_string(port) + R"(: (\d+))");
  long long sum = 0;
  for (auto it = std::sregex_iterator(camsim.begin(), camsim.end(), line);
       it != std::sregex_iterator(); ++it) {
    sum += std::stoll((*it)[1]);
  }
  return sum;
}

// Every figure of framegrab's is a count the driver made, so on a link that loses nothing
// each equals what the camera counted of its own sending: loss, duplicates, a packet repeated
// after each stream and every answer sent twice.
TEST(Framegrab, FiguresEqualTheCamerasOwnCounts) {
  // The recovery of 1000 dropped packets takes far longer than the repeats after a stream
  // (at 2 and 4 ms), so every repeat comes while no RAW data is expected.
  const std::vector<std::string> flags = {
      "--loss",          "0.01",   "--duplicate",    "0.01", "--drop", "1000-1999",
      "--repeat-packet", "20,2,6", "--answer-twice", "1",    "--rate", "300"};
  SimulatorOptions planned;
  planned.loss = 0.01;
  planned.duplicate = 0.01;
  for (int i = 1000; i <= 1999; ++i) planned.drop.push_back(i);
  constexpr int kImages = 4;
  std::vector<std::vector<int>> plans;
  for (std::uint32_t k = 1; k <= kImages; ++k) {
    plans.push_back(PlanStream(planned, k));
    // The stream ends at its last packet, once: a copy after it would be refused, not a
    // duplicate, and a lost last packet would make the repeats come while data is expected.
    ASSERT_EQ(plans.back().back(), RAW_LAST_PACKET_INDEX) << "image " << k;
    ASSERT_NE(plans.back()[plans.back().size() - 2], RAW_LAST_PACKET_INDEX) << "image " << k;
  }
  GrabRig rig(8, flags);
  const int status = rig.Grab({"--images", std::to_string(kImages), "--json", "run.json"});
  // A machine so loaded that camsim stalls past three 100 ms attempts makes an outage (ridden
  // out, exit 4); such a run's figures are not compared.
  if (status == 4) GTEST_SKIP() << "an outage on a loaded machine: " << rig.File("err");
  ASSERT_EQ(status, 0) << rig.File("err");
  const std::string camsim = rig.StopCamera();
  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  const nlohmann::json& summary = run["summary"];
  const nlohmann::json& driver = summary["driver"];

  ASSERT_EQ(run["images"].size(), std::size_t{kImages});
  for (int k = 0; k < kImages; ++k) {
    const nlohmann::json& image = run["images"][static_cast<std::size_t>(k)];
    const std::vector<int>& plan = plans[static_cast<std::size_t>(k)];
    const auto unique = static_cast<long long>(std::set<int>(plan.begin(), plan.end()).size());
    const auto twice = static_cast<long long>(plan.size()) - unique;
    EXPECT_EQ(image["stream_packets"], unique) << k;
    EXPECT_EQ(image["duplicate_packets"], twice) << k;
    EXPECT_EQ(image["driver"]["duplicate_packets"], twice) << k;
    EXPECT_EQ(image["fetched_again_packets"], RAW_PACKETS_PER_IMAGE - unique) << k;
    EXPECT_EQ(image["driver"]["answered_retransmissions"], RAW_PACKETS_PER_IMAGE - unique) << k;
    // A request is sent again only after a timeout (a machine so loaded that an answer takes
    // longer than 100 ms).
    EXPECT_EQ(
        image["driver"]["retransmission_requests"].get<long long>(),
        RAW_PACKETS_PER_IMAGE - unique + image["driver"]["repeated_commands"].get<long long>())
        << k;
  }

  const long long images = After(camsim, "images:");
  const long long raw_sent = After(camsim, "RAW packets sent:");
  const long long sent_twice = After(camsim, "RAW packets sent twice:");
  const long long repeated = After(camsim, "RAW packets repeated after streams:");
  const long long served = After(camsim, "retransmissions served:");
  const long long answers_twice = After(camsim, "answers sent twice:");
  ASSERT_GT(sent_twice, 0) << camsim;
  ASSERT_GT(repeated, 0) << camsim;
  EXPECT_EQ(summary["complete_images"], images) << camsim;
  EXPECT_EQ(driver["raw_packets"], raw_sent + repeated) << camsim;
  EXPECT_EQ(driver["stored_packets"], raw_sent - sent_twice);
  EXPECT_EQ(summary["stream_packets"], raw_sent - sent_twice);
  EXPECT_EQ(driver["duplicate_packets"], sent_twice);
  EXPECT_EQ(summary["duplicate_packets"], sent_twice);
  EXPECT_EQ(driver["refused_packets"], repeated);
  EXPECT_EQ(driver["retransmission_requests"], served);
  const long long repeats = driver["repeated_commands"];
  EXPECT_EQ(driver["answered_retransmissions"].get<long long>(), served - repeats);
  EXPECT_EQ(driver["fetched_again_packets"], driver["answered_retransmissions"]);
  EXPECT_EQ(summary["fetched_again_packets"], driver["fetched_again_packets"]);
  EXPECT_EQ(summary["missing_after_stream_packets"], driver["fetched_again_packets"]);
  // Every command the driver sent on its socket, and nothing else, reached the camera from it;
  // each was answered in time or timed out and was sent again, and each second copy of an
  // answer, like a late first copy, was a stray.
  EXPECT_EQ(driver["sent_commands"], CommandsFromPort(camsim, 32100)) << camsim;
  EXPECT_EQ(
      driver["matched_answers"].get<long long>() + driver["timed_out_commands"].get<long long>(),
      driver["sent_commands"]);
  EXPECT_EQ(driver["timed_out_commands"], repeats);
  EXPECT_EQ(driver["lost_contacts"], 0);
  // The copies of the last answers may come after the connection has closed.
  EXPECT_GT(driver["stray_answers"], 0);
  EXPECT_LE(driver["stray_answers"], answers_twice + repeats);
  EXPECT_EQ(driver["received_packets"], driver["raw_packets"].get<long long>() +
                                            driver["matched_answers"].get<long long>() +
                                            driver["stray_answers"].get<long long>());
  EXPECT_EQ(driver["foreign_packets"], 0);
  EXPECT_EQ(driver["damaged_packets"], 0);
}

// Two images: packets 100-102 are lost from each, and a sender that uses the camera's address
// sends its own data for packets 4000-4009 ahead of the camera's. The first image's recovery
// gets three short answers for packet 100 and gives up, so it stays incomplete; the second is
// made whole. The incomplete picture holds zeros where packets are missing, forged places
// included, and every other sample exact; its name, the JSON, the summary and the report say so.
TEST(Framegrab, IncompleteImageIsZeroWhereMissingAndMarkedSo) {
  GrabRig rig(7, {"--drop", "100-102", "--forge", "4000-4009", "--short-retransmit", "0",
                  "--short-retransmit", "0", "--short-retransmit", "0", "--rate", "300"});
  ASSERT_EQ(
      rig.Grab({"--images", "2", "--save", "pics", "--json", "run.json", "--report", "run.html"}),
      1)
      << rig.File("err");
  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  ASSERT_EQ(run["images"].size(), 2u);
  const nlohmann::json& first = run["images"][0];
  const nlohmann::json& second = run["images"][1];
  EXPECT_EQ(first["complete"], false);
  EXPECT_EQ(first["missing_packet_ranges"], nlohmann::json::parse("[[100, 102], [4000, 4009]]"));
  EXPECT_EQ(first["picture_file"], "image-000001-incomplete.png");
  EXPECT_EQ(second["complete"], true);
  EXPECT_EQ(second["missing_packet_ranges"], nlohmann::json::array());
  EXPECT_EQ(second["picture_file"], "image-000002.png");
  for (const nlohmann::json& image : run["images"]) {
    EXPECT_EQ(image["stream_packets"], RAW_PACKETS_PER_IMAGE - 13);
    EXPECT_EQ(image["conflicting_packets"], 10);
  }
  const nlohmann::json& summary = run["summary"];
  EXPECT_EQ(summary["incomplete_images"], 1);
  EXPECT_EQ(summary["conflicting_packets"], 20);
  const std::string conflicts =
      "20 packets came again with other data than the copy stored first; each such packet was "
      "counted as missing and fetched again from the camera. Another sender may be using the "
      "camera's address and port (NUDP has no authentication), or the camera started an image "
      "again; keep the camera on a link of its own.";
  EXPECT_EQ(summary["diagnoses"], nlohmann::json::array({conflicts}));
  const std::string lacks =
      "image 1 lacks 13 packets (100-102, 4000-4009), zeros in image-000001-incomplete.png";
  EXPECT_NE(rig.File("out").find("\nincomplete images: " + lacks + "\n"), std::string::npos)
      << rig.File("out");
  EXPECT_NE(rig.File("out").find("\nconflicting copies: 20 packets came again with other data\n"),
            std::string::npos);
  EXPECT_NE(rig.File("run.html")
                .find("<tr id=\"incomplete\"><th>incomplete images</th><td "
                      "data-value=\"1\">" +
                      lacks + "</td></tr>"),
            std::string::npos);

  const auto missing = [](std::size_t sample) {
    const std::size_t packet = sample * 2 / RAW_PACKET_DATA_LENGTH;
    return (packet >= 100 && packet <= 102) || (packet >= 4000 && packet <= 4009);
  };
  for (std::uint32_t k = 1; k <= 2; ++k) {
    SCOPED_TRACE("image " + std::to_string(k));
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    const std::vector<std::uint16_t> samples = DecodePng(
        rig.Path("pics/" + run["images"][k - 1]["picture_file"].get<std::string>()), width, height);
    ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2);
    std::size_t wrong = 0;
    std::size_t zeros = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) {
      const auto exact = static_cast<std::uint16_t>(ExpectedImageByte(k, 2 * s) |
                                                    ExpectedImageByte(k, 2 * s + 1) << 8);
      if (k == 1 && missing(s)) {
        zeros += samples[s] == 0;
      } else {
        wrong += samples[s] != exact;
      }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(zeros, k == 1 ? 13u * RAW_PACKET_DATA_LENGTH / 2 : 0u);
  }
}

TEST(Framegrab, CameraThatStreamsNothingIsDiagnosed) {
  GrabRig rig(2, {"--stop-after", "0"});
  EXPECT_EQ(rig.Grab({"--images", "1", "--progress-every", "0"}), 0) << rig.File("err");
  const std::string out = rig.File("out");
  EXPECT_NE(out.find("image 1/1: complete, 0 packets from the stream, 8248 missing, 8248 fetched "
                     "again, 0 duplicates, "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\ndiagnosis: No RAW data came although the camera accepted the start "
                     "command. Usual causes: a firewall dropping UDP to the local ports 32100 and "
                     "32101, reverse-path filtering (net.ipv4.conf.*.rp_filter) discarding the "
                     "camera's packets, an MTU below 1060 bytes on the way (each RAW packet is "
                     "one IP datagram of that size, and answers are small), or the wrong local "
                     "interface (127.22.2.2 must be the address that faces the camera); check the "
                     "host with: hostcheck 127.22.2.2 127.22.2.1.\n"),
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
  const std::string usage = kGrabUsage;
  const std::string time = "needs a time such as 90s, 30m, 2h or 3d (a number alone is seconds)";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "framegrab: The following argument was not expected: --bogus\n"},
      {{"--images", "0"}, "framegrab: --images: needs a whole number from 1 to 100000000\n"},
      {{"--images", "1e3"}, "framegrab: --images: needs a whole number from 1 to 100000000\n"},
      {{"--duration", "2x"}, "framegrab: --duration: " + time + "\n"},
      {{"--duration", "-5"}, "framegrab: --duration: " + time + "\n"},
      {{"--duration", "0"}, "framegrab: --duration: needs a time above 0\n"},
      {{"--give-up-after", "4000d"},
       "framegrab: --give-up-after: needs a time of at most 3650d (ten years)\n"},
      {{"--driver-log", "errors"}, "framegrab: --driver-log needs --logs DIR\n"},
      {{"--width", "1000"},
       "framegrab: --width: needs a divisor of 4222976 from 8 to 32992 (2048 gives 2048 x 2062)\n"},
      {{"--width", "4"},
       "framegrab: --width: needs a divisor of 4222976 from 8 to 32992 (2048 gives 2048 x 2062)\n"},
      {{"--width", "65984"},
       "framegrab: --width: needs a divisor of 4222976 from 8 to 32992 (2048 gives 2048 x 2062)\n"},
      {{"--save-every", "2"}, "framegrab: --save-every needs --save DIR\n"},
      {{"--format", "tiff"}, "framegrab: --format needs --save DIR\n"},
      {{"--save", "p", "--format", "jpeg"}, "framegrab: --format: jpeg not in {png,tiff}\n"},
      {{"--serve", "127.0.0.1:70000"}, "framegrab: --serve: needs [ADDR:]PORT, PORT 1 to 65535\n"},
  };
  for (const auto& [flags, line] : cases) {
    EXPECT_EQ(rig.Grab(flags), 2) << flags[0];
    EXPECT_EQ(rig.File("err"), line + usage);
  }
  // Addresses are four numbers, each 0 to 255, nothing else.
  const std::string quad =
      "needs an IPv4 address: four numbers 0 to 255 joined by dots, such as 192.168.1.20\n";
  const std::vector<std::vector<std::string>> addresses = {
      {"127.0.0.300", "local_ip"}, {"127.0.0", "local_ip"},    {"localhost", "local_ip"},
      {"127.0.0.1.", "local_ip"},  {"1234.0.0.1", "local_ip"}, {"", "local_ip"}};
  for (const auto& a : addresses) {
    EXPECT_EQ(AwaitExit(Spawn({FRAMEGRAB_PATH, a[0], rig.Camera()}, rig.Path(""), rig.Path("out"),
                              rig.Path("err")),
                        std::chrono::seconds(30)),
              2);
    EXPECT_EQ(rig.File("err"), "framegrab: " + a[1] + ": " + quad + usage) << a[0];
  }
  EXPECT_EQ(After(rig.StopCamera(), "commands received:"), 0);
}

// A UDP port bound by this process while the object lives.
class HeldPort {
 public:
  HeldPort(const std::string& ip, int port) : _fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    _bound = bind(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~HeldPort() { close(_fd); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  bool Bound() const { return _bound; }

 private:
  int _fd;
  bool _bound = false;
};

// An address no interface has is a usage error found before anything is sent; ports the
// driver needs that another program holds are named with that program.
TEST(Framegrab, MissingAddressAndTakenPortsAreNamed) {
  GrabRig rig(8, {});
  EXPECT_EQ(AwaitExit(Spawn({FRAMEGRAB_PATH, "10.254.254.254", rig.Camera()}, rig.Path(""),
                            rig.Path("out"), rig.Path("err")),
                      std::chrono::seconds(30)),
            2);
  EXPECT_TRUE(rig.File("err").starts_with(
      "framegrab: local_ip 10.254.254.254 is not an address of this machine (Cannot assign "
      "requested address); its interfaces have 127.0.0.1 (lo)"))
      << rig.File("err");

  // Both ports the camera socket may take, held by this test.
  const HeldPort first(rig.Local(), 32100);
  const HeldPort second(rig.Local(), 32101);
  ASSERT_TRUE(first.Bound() && second.Bound());
  EXPECT_EQ(rig.Grab({"--images", "1"}), 3);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(rig.File("err"),
            "framegrab: CEthCamera: cannot bind to local ip:port\n"
            "framegrab: UDP 127.22.8.2:32100 is taken by framegrab_test (pid " +
                pid +
                ")\nframegrab: UDP 127.22.8.2:32101 is taken by "
                "framegrab_test (pid " +
                pid + ")\n");
  EXPECT_EQ(After(rig.StopCamera(), "commands received:"), 0);

  // A camera address no connection can be made to: the ports held are framegrab's own.
  const std::vector<std::string> broadcast = {FRAMEGRAB_PATH, "127.22.8.3", "255.255.255.255"};
  EXPECT_EQ(AwaitExit(Spawn(broadcast, rig.Path(""), rig.Path("out"), rig.Path("err")),
                      std::chrono::seconds(30)),
            3);
  EXPECT_EQ(rig.File("err"), "framegrab: cannot open a connection to 255.255.255.255\n");

  // Port 32100 taken, a camera that does not answer the driver on 32101: who holds 32100.
  GrabRig silent(18, {"--silent"});
  const HeldPort taken(silent.Local(), 32100);
  ASSERT_TRUE(taken.Bound());
  EXPECT_EQ(silent.Grab({"--images", "1"}), 3);
  EXPECT_EQ(silent.File("err"),
            "framegrab: the camera at " + silent.Camera() +
                ":1234 does not answer (binning on: contact lost)\n"
                "framegrab: the driver sends from " +
                silent.Local() + ":32101, as UDP " + silent.Local() +
                ":32100 is taken by framegrab_test (pid " + pid +
                "); a camera that answers only port 32100 does not answer it\n");
}

// The lines of a JSON Lines file, each parsed; a line that is not JSON fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    if (nlohmann::json::accept(line)) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

// A camera that goes away in the middle of a run and comes back: the run rides the outage out,
// records it with its times and the image it cut short, and goes on to its end. Without the
// camera coming back, --give-up-after ends the run.
TEST(Framegrab, OutageIsRiddenOutRecordedAndGivenUpOnWhenAsked) {
  using std::chrono::milliseconds;
  GrabRig rig(9, {});
  const pid_t grab = rig.StartGrab({"--images", "100000", "--duration", "6s", "--json", "run.json",
                                    "--records", "run.jsonl", "--progress-every", "1s", "--logs",
                                    "logs", "--driver-log", "errors"});
  // Images are coming once the first line of the run is out, a second after its start.
  ASSERT_TRUE(AwaitText(rig.Path("out"), "/100000 images (", std::chrono::seconds(30), grab))
      << rig.File("err");
  const auto down = std::chrono::steady_clock::now();
  rig.StopCamera();
  std::this_thread::sleep_for(milliseconds(1500));
  rig.StartCamera({});
  const double down_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - down).count();
  const int status = AwaitExit(grab, std::chrono::seconds(60));

  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  EXPECT_TRUE(std::regex_match(run["started_utc"].get<std::string>(), utc)) << run["started_utc"];
  EXPECT_EQ(run["camera_id"], "FrameProbe CamSim 1");
  // The outage camsim made is the first; a machine so loaded that camsim stalls past three
  // 100 ms attempts makes more, and the run may end in one of those.
  const nlohmann::json& outages = run["outages"];
  ASSERT_GE(outages.size(), 1u) << rig.File("err");
  if (outages.size() > 1)
    std::fprintf(stderr, "note: %zu outages on a loaded machine\n", outages.size());
  const bool ridden_out = outages.back()["ended_utc"].is_string();
  EXPECT_EQ(status, ridden_out ? 4 : 3) << rig.File("err");
  const nlohmann::json& outage = outages[0];
  EXPECT_TRUE(std::regex_match(outage["started_utc"].get<std::string>(), utc));
  ASSERT_TRUE(outage["ended_utc"].is_string());
  EXPECT_LT(outage["started_utc"], outage["ended_utc"]);
  // From the last datagram heard to the answer after reopening: the time camsim was away,
  // and at most a pause and an attempt more (with room for a loaded machine).
  EXPECT_GE(outage["duration_ms"].get<double>(), down_ms - 100) << outage;
  EXPECT_LE(outage["duration_ms"].get<double>(), down_ms + 2000) << outage;
  EXPECT_GE(outage["reopenings"].get<int>(), 1);
  std::map<int, int> lost;  // image -> the outage that cut it short
  for (const nlohmann::json& o : outages) {
    EXPECT_LE(o["lost_images"].size(), 1u);
    for (const auto& n : o["lost_images"]) lost[n.get<int>()] = o["outage"].get<int>();
  }
  std::string previous;
  bool after_outage = false;
  for (const nlohmann::json& image : run["images"]) {
    const std::string started = image["started_utc"];
    EXPECT_TRUE(std::regex_match(started, utc)) << started;
    EXPECT_LE(previous, started);
    previous = started;
    after_outage = after_outage || started > outage["ended_utc"];
    const auto cut = lost.find(image["image"].get<int>());
    EXPECT_EQ(image["complete"], cut == lost.end()) << image["image"];
    EXPECT_EQ(image["outage"],
              cut != lost.end() ? nlohmann::json(cut->second) : nlohmann::json(nullptr));
  }
  EXPECT_TRUE(after_outage);
  const nlohmann::json& summary = run["summary"];
  EXPECT_EQ(summary["ended_by"], "duration");
  EXPECT_EQ(summary["exit_status"], status);
  EXPECT_EQ(summary["outages"], outages.size());
  EXPECT_EQ(summary["images_lost_to_outages"], lost.size());
  if (outages.size() == 1) {
    EXPECT_EQ(summary["outage_total_ms"], outage["duration_ms"]);
  }
  // The record lines say the same as the JSON, in the order it happened: the run with its start
  // and the camera's identification, each image, each outage once it ended, and the end.
  std::vector<nlohmann::json> records = JsonLines(rig.File("run.jsonl"));
  ExpectLinesMatchJson(records, run);
  EXPECT_EQ(records.front()["started_utc"], run["started_utc"]);
  EXPECT_EQ(records.front()["camera_id"], "FrameProbe CamSim 1");
  EXPECT_EQ(records.back()["outages"], outages.size());

  const std::string err = rig.File("err");
  EXPECT_NE(err.find("framegrab: outage 1: contact with the camera lost at "), std::string::npos)
      << err;
  EXPECT_NE(err.find("; reopening it every 0.2 s, after 10 s with pauses doubling up to 10 s\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("framegrab: outage 1 over at "), std::string::npos) << err;
  // Without a terminal: a line of the run each second, none per image; then the summary.
  const std::string out = rig.File("out");
  const std::regex progress(R"((^|\n)\d{4}-[^ ]*Z: \d+/100000 images \(\d+ incomplete\), )");
  const auto lines =
      std::distance(std::sregex_iterator(out.begin(), out.end(), progress), std::sregex_iterator());
  EXPECT_GE(lines, 2) << out;
  EXPECT_LE(lines, 7) << out;
  EXPECT_EQ(out.find("image 1/"), std::string::npos) << out;
  EXPECT_NE(out.find("\noutages: " + std::to_string(outages.size()) + ", "), std::string::npos)
      << out;
  EXPECT_NE(out.find("check the host with: hostcheck 127.22.9.2 127.22.9.1.\n"), std::string::npos)
      << out;
  // Errors only: what went wrong is in the error log, and there is no driver log.
  EXPECT_FALSE(std::filesystem::exists(rig.Path("logs/log.txt")));
  EXPECT_NE(rig.File("logs/log_err.txt").find("Timeout"), std::string::npos);

  // The camera goes away for good: the run gives up after the time asked for.
  const pid_t again =
      rig.StartGrab({"--images", "100000", "--give-up-after", "1", "--json", "gave-up.json",
                     "--records", "gave-up.jsonl", "--progress-every", "0"});
  ASSERT_TRUE(AwaitText(rig.Path("out"), "image 1/100000: ", std::chrono::seconds(30), again))
      << rig.File("err");
  rig.StopCamera();
  EXPECT_EQ(AwaitExit(again, std::chrono::seconds(60)), 3) << rig.File("err");
  const nlohmann::json gave_up = nlohmann::json::parse(rig.File("gave-up.json"));
  EXPECT_EQ(gave_up["summary"]["ended_by"], "outage");
  ASSERT_EQ(gave_up["outages"].size(), 1u);
  EXPECT_TRUE(gave_up["outages"][0]["ended_utc"].is_null());
  EXPECT_GE(gave_up["outages"][0]["duration_ms"].get<double>(), 1000);
  records = JsonLines(rig.File("gave-up.jsonl"));
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[records.size() - 2]["record"], "outage");
  EXPECT_TRUE(records[records.size() - 2]["ended_utc"].is_null());
  EXPECT_EQ(records.back()["ended_by"], "outage");
  EXPECT_NE(rig.File("err").find("; giving up (--give-up-after)\n"), std::string::npos)
      << rig.File("err");
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

// A TIFF's samples (16-bit gray) and its ImageDescription; empty samples when not one.
std::vector<std::uint16_t> ReadTiff(const std::string& path, std::string& description) {
  std::vector<std::uint16_t> samples;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return samples;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bits = 0;
  char* text = nullptr;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) == 1) description = text;
  if (bits == 16 && width == kChartWidth) {
    samples.resize(std::size_t{width} * height);
    for (std::uint32_t row = 0; row < height; ++row) {
      TIFFReadScanline(tiff, samples.data() + std::size_t{row} * width, row);
    }
  }
  TIFFClose(tiff);
  return samples;
}

// TIFF pictures hold their image and say which it was; each image's line is in the records file
// as the run goes, the same as its record in the final JSON; a second run appends its lines, and
// is refused a directory that holds the first run's pictures before it sends anything.
TEST(Framegrab, TiffPicturesAndRecordLinesAndOneRunPerDirectory) {
  GrabRig rig(13, {"--pattern", "chart", "--rate", "300"});
  ASSERT_EQ(rig.Grab({"--images", "3", "--save", "pics", "--format", "tiff", "--json", "run.json",
                      "--records", "run.jsonl"}),
            0)
      << rig.File("err");
  const nlohmann::json run = nlohmann::json::parse(rig.File("run.json"));
  EXPECT_EQ(run["summary"]["saved_pictures"], 3);
  EXPECT_EQ(run["summary"]["picture_format"], "tiff");
  EXPECT_EQ(run["summary"]["pictures_when_writer_behind"], "wait");
  EXPECT_NE(rig.File("out").find("\npictures: 3 saved as tiff, 0 left unsaved (writer behind), 0 "
                                 "failed; every image kept (acquisition waited "),
            std::string::npos)
      << rig.File("out");
  for (std::uint32_t k = 1; k <= 3; ++k) {
    const nlohmann::json& record = run["images"][k - 1];
    EXPECT_EQ(record["picture_file"], "image-00000" + std::to_string(k) + ".tiff");
    std::string description;
    const std::vector<std::uint16_t> samples =
        ReadTiff(rig.Path("pics/" + record["picture_file"].get<std::string>()), description);
    ASSERT_EQ(samples.size(), RAW_IMAGE_SIZE / 2) << "image " << k;
    std::size_t wrong = 0;
    for (std::size_t s = 0; s < samples.size(); ++s) wrong += samples[s] != ChartSample(k, s);
    EXPECT_EQ(wrong, 0u) << "image " << k;
    const nlohmann::json tags = nlohmann::json::parse(description);
    EXPECT_EQ(tags["image"], k);
    EXPECT_EQ(tags["complete"], true);
    EXPECT_EQ(tags["taken_utc"], record["ended_utc"]);
  }
  // Nothing but the pictures: no temporary file left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(rig.Path("pics")), {}), 3);

  std::vector<nlohmann::json> lines = JsonLines(rig.File("run.jsonl"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0]["record"], "run");
  for (const char* key : {"started_utc", "local", "camera", "camera_id"}) {
    EXPECT_EQ(lines[0][key], run[key]) << key;
  }
  for (std::size_t k = 1; k <= 3; ++k) {
    nlohmann::json record = run["images"][k - 1];
    record.erase("samples");
    nlohmann::json line = lines[k];
    EXPECT_EQ(line["record"], "image");
    line.erase("record");
    EXPECT_EQ(line["camera"], run["camera"]);
    line.erase("camera");
    EXPECT_EQ(line, record);
  }
  EXPECT_EQ(lines[4]["record"], "end");
  EXPECT_EQ(lines[4]["exit_status"], 0);

  const long long commands = After(rig.StopCamera(), "commands received:");
  EXPECT_EQ(rig.Grab({"--images", "1", "--save", "pics", "--records", "run.jsonl"}), 2);
  EXPECT_EQ(rig.File("err"),
            "framegrab: --save pics holds pictures of an earlier run (image-000001.tiff); name a "
            "new or empty directory\n");
  lines = JsonLines(rig.File("run.jsonl"));
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_EQ(After(rig.File("camsim.out"), "commands received:"), commands);
}

// Every output is made beside its final name and takes that name whole: a link planted at the
// name is replaced, never written through; a usage error leaves existing files as they were.
TEST(Framegrab, OutputsNeverFollowPlantedLinksNorTouchFilesBeforeTheChecks) {
  GrabRig rig(14, {"--rate", "300"});
  std::filesystem::create_directories(rig.Path("logs"));
  for (const char* name : {"run.json", "report.html", "logs/log.txt", "run.jsonl"}) {
    const std::string target =
        rig.Path("target-" + std::filesystem::path(name).filename().string());
    std::ofstream(target) << "precious";
    std::filesystem::create_symlink(target, rig.Path(name));
  }
  std::ofstream(rig.Path("old.json")) << "previous";
  // A usage error found last (the page's port taken) leaves the existing results alone.
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(8099);
  inet_pton(AF_INET, rig.Local().c_str(), &at.sin_addr);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  EXPECT_EQ(
      rig.Grab({"--json", "old.json", "--report", "report.html", "--serve", rig.Local() + ":8099"}),
      2);
  close(taken);
  EXPECT_EQ(rig.File("old.json"), "previous");
  EXPECT_EQ(rig.File("target-report.html"), "precious");

  // The driver's log is not written through a link: the run goes on without it.
  ASSERT_EQ(rig.Grab({"--images", "1", "--json", "run.json", "--report", "report.html", "--logs",
                      "logs"}),
            0)
      << rig.File("err");
  EXPECT_EQ(rig.File("err"), "framegrab: cannot open logs/log.txt\n");
  for (const char* name : {"run.json", "report.html"}) {
    EXPECT_FALSE(std::filesystem::is_symlink(rig.Path(name))) << name;
  }
  // The records are appended to: a link there ends the run before anything is sent.
  EXPECT_EQ(rig.Grab({"--images", "1", "--records", "run.jsonl"}), 2);
  EXPECT_EQ(rig.File("err"), "framegrab: --records run.jsonl: Too many levels of symbolic links\n");
  for (const char* name : {"run.json", "report.html", "log.txt", "run.jsonl"}) {
    EXPECT_EQ(rig.File(std::string("target-") + name), "precious") << name;
  }
  EXPECT_EQ(nlohmann::json::parse(rig.File("run.json"))["summary"]["complete_images"], 1);
  // No temporary file left beside them.
  for (const auto& entry : std::filesystem::directory_iterator(rig.Path(""))) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
}

// A small file system of its own for the test (root only): the process moves into a mount
// namespace of its own, which the programs it starts share. Empty when that cannot be done.
std::string MountSmallFileSystem(const std::string& dir, const std::string& size) {
  std::filesystem::create_directories(dir);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
    return "";
  }
  return dir;
}

// A full disk: one message, no partial file, saving stops and says so, and grabbing goes on;
// the same disk for the driver's logs is one message too.
TEST(Framegrab, FullDiskStopsSavingOnceAndTheRunGoesOn) {
  GrabRig rig(15, {"--rate", "300"});
  // Room for two TIFF pictures of 8.4 MB, not three.
  if (MountSmallFileSystem(rig.Path("small"), "20m").empty()) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  EXPECT_EQ(
      rig.Grab({"--images", "5", "--save", "small/pics", "--format", "tiff", "--json", "run.json"}),
      1);
  EXPECT_EQ(rig.File("err"),
            "framegrab: cannot write small/pics/image-000003.tiff: No space left on device; no "
            "more pictures are saved, the run goes on\n");
  const nlohmann::json summary = nlohmann::json::parse(rig.File("run.json"))["summary"];
  EXPECT_EQ(summary["complete_images"], 5);
  EXPECT_EQ(summary["saved_pictures"], 2);
  EXPECT_EQ(summary["failed_pictures"], 1);
  EXPECT_EQ(summary["saving_stopped"],
            nlohmann::json(
                {{"image", 3}, {"reason", "No space left on device"}, {"unsaved_pictures", 2}}));
  EXPECT_NE(rig.File("out").find("; saving stopped at image 3 (No space left on device), 2 not "
                                 "saved after it\n"),
            std::string::npos)
      << rig.File("out");
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(rig.Path("small/pics"))) {
    files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"image-000001.tiff", "image-000002.tiff"}));
  umount2(rig.Path("small").c_str(), MNT_DETACH);

  // The driver's logs on a full disk: one line when a write fails, and the status says so.
  ASSERT_EQ(mount("tmpfs", rig.Path("small").c_str(), "tmpfs", 0, "size=1m"), 0);
  EXPECT_EQ(rig.Grab({"--images", "3", "--logs", "small/logs", "--json", "run.json"}), 1);
  EXPECT_EQ(rig.File("err"),
            "framegrab: --logs: cannot write small/logs/log.txt: No space left on device\n");
  EXPECT_EQ(nlohmann::json::parse(rig.File("run.json"))["summary"]["log_failure"],
            "cannot write small/logs/log.txt: No space left on device");
  umount2(rig.Path("small").c_str(), MNT_DETACH);
}

// kill -9 mid-run leaves a whole line for every image taken before it; two signals in a row
// end a served run at once, and the JSON and report are the previous ones or whole new ones.
TEST(Framegrab, RecordsSurviveKillAndResultsStayWholeOnASecondSignal) {
  GrabRig rig(16, {"--rate", "300"});
  pid_t grab = rig.StartGrab({"--images", "1000", "--records", "run.jsonl"});
  ASSERT_TRUE(WaitUntil([&] { return JsonLines(rig.File("run.jsonl")).size() >= 4; },
                        std::chrono::seconds(60)));
  kill(grab, SIGKILL);
  AwaitExit(grab, std::chrono::seconds(10));
  const long long started = After(rig.StopCamera(), "images:");
  const std::string text = rig.File("run.jsonl");
  ASSERT_EQ(text.back(), '\n');
  const std::vector<nlohmann::json> lines = JsonLines(text);
  // The run's line, then one for each image that ended: all but perhaps the one under way.
  const auto images = static_cast<long long>(lines.size()) - 1;
  EXPECT_GE(images, started - 1);
  EXPECT_LE(images, started);
  for (long long k = 1; k <= images; ++k) {
    EXPECT_EQ(lines[static_cast<std::size_t>(k)]["image"], k);
  }

  GrabRig served(17, {"--rate", "300"});
  std::ofstream(served.Path("run.json")) << "previous";
  std::ofstream(served.Path("report.html")) << "previous";
  grab = served.StartGrab({"--images", "1000", "--json", "run.json", "--report", "report.html",
                           "--serve", served.Local() + ":8098", "--progress-every", "0"});
  ASSERT_TRUE(WaitUntil([&] { return served.File("out").find("image 2/") != std::string::npos; },
                        std::chrono::seconds(60)));
  kill(grab, SIGINT);
  kill(grab, SIGINT);
  EXPECT_EQ(AwaitExit(grab, std::chrono::seconds(60)), 130);
  const std::string json = served.File("run.json");
  EXPECT_TRUE(json == "previous" || nlohmann::json::accept(json)) << json;
  const std::string html = served.File("report.html");
  EXPECT_TRUE(html == "previous" || html.ends_with("</body></html>\n")) << html.size();
}

}  // namespace
}  // namespace fp::test
