#include "camera/DriverCounts.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/ImagePattern.h"

#include "frameprobe/frameprobe.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fp::test {
namespace {

using frameprobe::Camera;
using frameprobe::Counters;
using frameprobe::GrabInfo;
using frameprobe::PacketRange;
using std::chrono::milliseconds;

// A simulated camera on 127.31.<net>.1 for a camera of the library on 127.31.<net>.2.
class ApiRig {
 public:
  ApiRig(int net, SimulatorOptions options) : _subnet{31, net}, _dir("camera_api_test") {
    options.bind_address = Remote();
    options.trace = false;
    _sim = std::make_unique<CameraSimulator>(options);
    std::string error;
    EXPECT_TRUE(_sim->Start(error)) << error;
  }
  ~ApiRig() { _sim->Stop(); }

  std::string Local() const { return _subnet.Host(2); }
  std::string Remote() const { return _subnet.Host(1); }
  CameraSimulator& Sim() { return *_sim; }
  frameprobe::Options Logs() const {
    frameprobe::Options options;
    options.log_file = _dir.File("log.txt");
    options.err_log_file = _dir.File("log_err.txt");
    return options;
  }
  std::string ErrLog() const { return ReadFile(_dir.File("log_err.txt")); }

 private:
  LoopbackSubnet _subnet;
  TempDir _dir;
  std::unique_ptr<CameraSimulator> _sim;
};

int Count(const std::vector<PacketRange>& ranges) {
  int sum = 0;
  for (const PacketRange& r : ranges) sum += r.Count();
  return sum;
}

// True when packets `begin` to `end` - 1 of `image` are those of image `number`.
bool PacketsMatch(const std::uint8_t* image, std::uint32_t number, int begin, int end) {
  std::vector<std::uint8_t> expected(frameprobe::kPacketBytes);
  for (int n = begin; n < end; ++n) {
    const std::size_t at = static_cast<std::size_t>(n) * frameprobe::kPacketBytes;
    FillImageBytes(number, at, expected.data(), expected.size());
    if (!std::equal(expected.begin(), expected.end(), image + at)) return false;
  }
  return true;
}

// Start commands among a grab's commands: what is neither a status nor a retransmission request.
std::uint64_t StartCommands(const Counters& c) {
  return c.sent_commands - c.status_requests - c.retransmission_requests;
}

TEST(CameraApi, CountersAreTheDriversCountsUnderTheirNamesAndInTheirOrder) {
  std::vector<std::string> driver;
  const DriverCounts none;
  ForEachCount(none, none, [&driver](const char* name, auto, auto) { driver.push_back(name); });
  std::vector<std::string> library;
  Counters counters;
  std::uint64_t value = 0;
  frameprobe::ForEachCounter([&](const char* name, std::uint64_t Counters::*member) {
    library.push_back(name);
    counters.*member = ++value;
  });
  EXPECT_EQ(library, driver);
  // Every name its own member.
  value = 0;
  frameprobe::ForEachCounter([&](const char* name, std::uint64_t Counters::*member) {
    EXPECT_EQ(counters.*member, ++value) << name;
  });
}

TEST(CameraApi, GrabsWholeImagesAndNamesWhatTheStreamLost) {
  struct Case {
    const char* name;
    std::vector<int> drop;
    double duplicate;
    int stop_after;
    std::vector<PacketRange> lost;
  };
  std::vector<int> block = {5, 8247};
  for (int n = 100; n < 200; ++n) block.push_back(n);
  const std::vector<Case> cases = {
      {"clean", {}, 0.0, -1, {}},
      {"first and last", {0, 8247}, 0.0, -1, {{0, 1}, {8247, 8248}}},
      {"a block and two more", block, 0.0, -1, {{5, 6}, {100, 200}, {8247, 8248}}},
      {"duplicates", {4000}, 0.05, -1, {{4000, 4001}}},
      {"stream cut short", {}, 0.0, 8000, {{8000, 8248}}},
  };
  int net = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatorOptions options;
    options.drop = c.drop;
    options.duplicate = c.duplicate;
    options.stop_after = c.stop_after;
    ApiRig rig(++net, options);
    Camera camera(rig.Local(), rig.Remote(), rig.Logs());
    // An image of the library's own, then one into the caller's buffer.
    frameprobe::Image owned;
    std::vector<std::uint8_t> mine(frameprobe::kImageBytes);
    std::uint32_t owned_number = 0;
    Counters sum;
    for (int grab = 1; grab <= 2; ++grab) {
      std::uint8_t* bytes = grab == 1 ? owned.Bytes() : mine.data();
      const std::uint64_t duplicates_before = rig.Sim().Stats().raw_duplicates_sent;
      const GrabInfo info = grab == 1 ? camera.Grab(owned) : camera.Grab(mine.data());
      // The simulator's image number, which a start command repeated on a busy machine moves on.
      const std::uint32_t number = rig.Sim().ImageNumber();
      if (grab == 1) owned_number = number;
      EXPECT_TRUE(info.complete);
      EXPECT_FALSE(info.cancelled);
      EXPECT_EQ(info.lost, c.lost);
      EXPECT_TRUE(info.missing.empty());
      EXPECT_EQ(info.stream_packets, frameprobe::kPacketsPerImage - Count(c.lost));
      EXPECT_EQ(info.LostPackets(), Count(c.lost));
      EXPECT_EQ(info.MissingPackets(), 0);
      EXPECT_EQ(info.recovery_ms > 0, !c.lost.empty());
      EXPECT_GE(info.image_ms, info.recovery_ms);
      EXPECT_TRUE(ImageMatchesPattern(bytes, number));

      const Counters& n = info.counters;
      const auto lost = static_cast<std::uint64_t>(Count(c.lost));
      EXPECT_EQ(n.fetched_again_packets, lost);
      EXPECT_EQ(n.conflicting_packets + n.damaged_packets + n.foreign_packets + n.lost_contacts +
                    n.drains,
                0u);
      EXPECT_EQ(n.duplicate_packets > 0, c.duplicate > 0.0);
      if (n.sent_commands == StartCommands(n) + lost) {
        // Nothing repeated (as on a machine that keeps up): one start, one request a lost packet,
        // every packet of the stream stored once and every duplicate the simulator sent seen.
        EXPECT_EQ(StartCommands(n), 1u);
        EXPECT_EQ(n.retransmission_requests, lost);
        EXPECT_EQ(n.answered_retransmissions, lost);
        EXPECT_EQ(n.stored_packets, static_cast<std::uint64_t>(info.stream_packets));
        EXPECT_EQ(n.duplicate_packets, rig.Sim().Stats().raw_duplicates_sent - duplicates_before);
        EXPECT_EQ(n.raw_packets, n.stored_packets + n.duplicate_packets);
        EXPECT_EQ(n.matched_answers, n.sent_commands);
      }
      EXPECT_GE(n.retransmission_requests, lost);
      EXPECT_GE(n.stored_packets, static_cast<std::uint64_t>(info.stream_packets));
      frameprobe::ForEachCounter(
          [&](const char*, std::uint64_t Counters::*member) { sum.*member += n.*member; });
    }
    EXPECT_EQ(owned.Sample(0, 1), ImagePatternWord(owned_number, 0) >> 16);
    // The totals hold the two grabs, and the binning command before them (sent again when a busy
    // machine let its answer come late); the simulator served every retransmission request and
    // started an image for every start command.
    const Counters totals = camera.Totals();
    std::uint64_t binning = 0;
    for (const ReceivedCommand& command : rig.Sim().Commands()) {
      binning += ReadNumberField(command.header.data()) == NUDP_CMD_BINNING_ON ? 1 : 0;
    }
    EXPECT_GE(binning, 1u);
    EXPECT_EQ(totals.sent_commands, sum.sent_commands + binning);
    EXPECT_EQ(totals.fetched_again_packets, sum.fetched_again_packets);
    EXPECT_EQ(totals.retransmission_requests, sum.retransmission_requests);
    frameprobe::ForEachCounter([&](const char* name, std::uint64_t Counters::*member) {
      EXPECT_GE(totals.*member, sum.*member) << name;
    });
    EXPECT_EQ(rig.Sim().Stats().retransmissions_served, totals.retransmission_requests);
    EXPECT_EQ(rig.Sim().Stats().images_started, StartCommands(sum));
  }
}

TEST(CameraApi, CommandsIdentificationAndAddresses) {
  ApiRig rig(10, SimulatorOptions{});
  Camera camera(rig.Local(), rig.Remote());
  EXPECT_TRUE(camera.IsOpen());
  EXPECT_EQ(camera.LocalAddress(), rig.Local() + ":32100");
  EXPECT_EQ(camera.CameraAddress(), rig.Remote() + ":1234");
  EXPECT_GE(camera.ReceiveBufferBytes(), 425984);
  EXPECT_EQ(camera.Identify(), "FrameProbe CamSim 1");
  EXPECT_EQ(camera.Command(frameprobe::kCmdBinningOn).number, frameprobe::kCmdBinningOn);
  try {
    camera.Command(0x108);
    ADD_FAILURE() << "a start command passed";
  } catch (const frameprobe::Error& e) {
    EXPECT_STREQ(e.what(), "command 0x108 starts an image: take images with Grab");
  }
  EXPECT_STREQ(frameprobe::Version(), FRAMEPROBE_VERSION);
  camera.Close();
  camera.Close();
  EXPECT_FALSE(camera.IsOpen());
}

TEST(CameraApi, BufferOfAnotherSizeIsRefusedBeforeAnythingIsSent) {
  ApiRig rig(15, SimulatorOptions{});
  Camera camera(rig.Local(), rig.Remote());
  const std::size_t commands = rig.Sim().Commands().size();
  constexpr std::size_t kImage = frameprobe::kImageBytes;
  // One byte more than an image, which the grab must leave alone.
  std::vector<std::uint8_t> buffer(kImage + 1, 0xA5);
  const std::span<std::uint8_t> all(buffer);
  for (const std::size_t size : {std::size_t{0}, std::size_t{1} << 20, kImage - 1, kImage + 1}) {
    try {
      camera.Grab(all.first(size));
      ADD_FAILURE() << "a buffer of " << size << " bytes was taken";
    } catch (const frameprobe::Error& e) {
      EXPECT_EQ(e.what(), "Grab needs an image buffer of 8445952 bytes, and the one given holds " +
                              std::to_string(size));
    }
  }
  EXPECT_EQ(rig.Sim().Commands().size(), commands);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xA5; }));

  const GrabInfo info = camera.Grab(all.first(kImage));
  EXPECT_TRUE(info.complete);
  EXPECT_TRUE(ImageMatchesPattern(buffer.data(), rig.Sim().ImageNumber()));
  EXPECT_EQ(buffer.back(), 0xA5);
}

TEST(CameraApi, StopEndsAStreamingTransferAndLeavesTheCameraUsable) {
  SimulatorOptions options;
  options.rate_mbit = 10;  // an image streams for 7 s
  ApiRig rig(14, options);
  auto camera = std::make_unique<Camera>(rig.Local(), rig.Remote(), rig.Logs());
  std::atomic<bool> stop{false};
  frameprobe::Image image;
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(300));
    stop.store(true);
  });
  const auto start = std::chrono::steady_clock::now();
  const GrabInfo info = camera->Grab(image, &stop);
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_LT(took, std::chrono::seconds(2));
  EXPECT_TRUE(info.cancelled);
  EXPECT_FALSE(info.complete);
  EXPECT_EQ(info.fetched_again_packets, 0);
  ASSERT_GT(info.stream_packets, 0);
  ASSERT_LT(info.stream_packets, frameprobe::kPacketsPerImage);
  // Paced in order: the packets that came are the first ones.
  const std::vector<PacketRange> rest = {{info.stream_packets, frameprobe::kPacketsPerImage}};
  EXPECT_EQ(info.lost, rest);
  EXPECT_EQ(info.missing, rest);
  EXPECT_TRUE(PacketsMatch(image.Bytes(), 1, 0, info.stream_packets));
  EXPECT_EQ(rig.Sim().Stats().retransmissions_served, 0u);
  EXPECT_TRUE(camera->IsOpen());
  EXPECT_EQ(camera->Identify(), "FrameProbe CamSim 1");
  camera.reset();  // writes out the logs
  EXPECT_NE(rig.ErrLog().find("CEthCamera::BkgListener():\nTransfer stopped by the caller.\n\n"),
            std::string::npos);
}

TEST(CameraApi, StopCutsRecoveryShortAndLeavesTheCameraUsable) {
  SimulatorOptions options;
  options.stop_after = 100;  // 8148 packets to fetch again, one by one
  ApiRig rig(11, options);
  auto camera = std::make_unique<Camera>(rig.Local(), rig.Remote(), rig.Logs());
  std::atomic<bool> stop{true};
  frameprobe::Image image;
  // Stopped before it starts: nothing is sent.
  const std::size_t commands = rig.Sim().Commands().size();
  GrabInfo info = camera->Grab(image, &stop);
  EXPECT_TRUE(info.cancelled);
  EXPECT_EQ(info.missing, (std::vector<PacketRange>{{0, frameprobe::kPacketsPerImage}}));
  EXPECT_EQ(rig.Sim().Commands().size(), commands);
  EXPECT_EQ(info.counters.sent_commands + info.counters.received_packets, 0u);

  stop.store(false);
  std::thread stopper([&] {
    for (int i = 0; i < 1000 && rig.Sim().Stats().retransmissions_served < 20; ++i) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    stop.store(true);
  });
  info = camera->Grab(image, &stop);
  stopper.join();
  EXPECT_TRUE(info.cancelled);
  EXPECT_FALSE(info.complete);
  EXPECT_EQ(info.lost, (std::vector<PacketRange>{{100, 8248}}));
  const int fetched = info.fetched_again_packets;
  EXPECT_GE(fetched, 20);
  ASSERT_LT(fetched, 8148);
  EXPECT_EQ(info.missing, (std::vector<PacketRange>{{100 + fetched, 8248}}));
  EXPECT_EQ(info.counters.fetched_again_packets, static_cast<std::uint64_t>(fetched));
  EXPECT_TRUE(PacketsMatch(image.Bytes(), 1, 0, 100 + fetched));
  EXPECT_TRUE(camera->IsOpen());
  EXPECT_EQ(camera->Identify(), "FrameProbe CamSim 1");
  camera.reset();  // writes out the logs
  EXPECT_NE(rig.ErrLog().find("CEthCamera::ReadMissing():\nStopped by the caller before packet #" +
                              std::to_string(100 + fetched) + ".\n\n"),
            std::string::npos);
}

TEST(CameraApi, FailuresThrowWithTheDriversReason) {
  // Recovery that the camera does not answer: the driver gives the connection up.
  SimulatorOptions options;
  options.drop = {5};
  options.silent_cmd = {CommandMatch{/*retransmit=*/true, 0}};
  ApiRig rig(12, options);
  Camera camera(rig.Local(), rig.Remote());
  frameprobe::Image image;
  const std::string at = rig.Remote() + ":1234";
  const auto failure = [&] {
    try {
      camera.Grab(image);
    } catch (const frameprobe::Error& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  // Packet 5 is left out; a machine too busy to keep up with the stream loses more after it.
  const std::string lost = failure();
  const std::string head = "contact with the camera at " + at + " was lost during the image (";
  const std::string tail =
      " missing fetched again): CEthCamera::ReadMissing(): Cannot retransmit packet #5.";
  ASSERT_TRUE(lost.starts_with(head) && lost.ends_with(tail)) << lost;
  int stream = 0;
  int missing = 0;
  ASSERT_EQ(std::sscanf(lost.c_str() + head.size(), "%d packets from the stream, 0 of %d", &stream,
                        &missing),
            2)
      << lost;
  EXPECT_EQ(stream + missing, frameprobe::kPacketsPerImage) << lost;
  EXPECT_GE(missing, 1) << lost;
  EXPECT_FALSE(camera.IsOpen());
  EXPECT_EQ(failure(), "the connection to the camera " + at + " is closed");

  // Addresses that cannot serve.
  SimulatorOptions silent;
  silent.silent = true;
  ApiRig quiet(13, silent);
  struct Case {
    std::string local;
    std::string remote;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"10.255.255.1", quiet.Remote(),
       "cannot use the local address \"10.255.255.1\": CEthCamera: cannot bind to local ip:port"},
      {quiet.Local(), "", "the camera address must be neither empty nor hold a NUL character"},
      {quiet.Local(), quiet.Remote() + std::string(1, '\0') + "x",
       "the camera address must be neither empty nor hold a NUL character"},
      {"", quiet.Remote(), "the local address must be neither empty nor hold a NUL character"},
      {quiet.Local(), quiet.Remote(),
       "the camera at " + quiet.Remote() +
           ":1234 does not answer (binning on, command 0x105): CEthCamera::SendCmd(): Lost "
           "contact, closing connection."},
  };
  for (const Case& c : cases) {
    try {
      Camera wrong(c.local, c.remote);
      ADD_FAILURE() << c.local << " to " << c.remote << " opened";
    } catch (const frameprobe::Error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

// Both ports the camera socket may take, held by this program: the failure names each with its
// holder, in the lines framegrab prints.
TEST(CameraApi, TakenPortsAreNamedWithTheirHolder) {
  const LoopbackSubnet subnet{31, 16};
  const std::string local = subnet.Host(2);
  const TestHost first(local, 32100);
  const TestHost second(local, 32101);
  ASSERT_TRUE(first.Ok() && second.Ok());
  const std::string holder = "camera_api_test (pid " + std::to_string(getpid()) + ")";
  try {
    Camera camera(local, subnet.Host(1));
    ADD_FAILURE() << "the camera opened on taken ports";
  } catch (const frameprobe::Error& e) {
    EXPECT_EQ(e.what(), "cannot use the local address \"" + local +
                            "\": CEthCamera: cannot bind to local ip:port\nUDP " + local +
                            ":32100 is taken by " + holder + "\nUDP " + local +
                            ":32101 is taken by " + holder);
  }
}

}  // namespace
}  // namespace fp::test
