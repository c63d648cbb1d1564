// camsim --replay end to end: a run of the driver against the simulator with loss, captured by
// the simulator itself, is replayed to the driver, which meets each image's loss again and gets
// the captured images back byte for byte.
#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/PcapWriter.h"

#include "frameprobe/frameprobe.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace fp::test {
namespace {

using std::chrono::milliseconds;

const LoopbackSubnet kNet{0, 91};

// Options of a camera on kNet's .1 that the tests' hosts on .2 can keep up with: 200 Mbit/s,
// an image in some 360 ms.
SimulatorOptions Camera() {
  SimulatorOptions o;
  o.bind_address = kNet.Host(1);
  o.rate_mbit = 200;
  o.trace = false;
  return o;
}

// The packets the capture's stream lacks, as the driver names its loss.
std::vector<frameprobe::PacketRange> LostRanges(const CapturedImage& image) {
  std::vector<frameprobe::PacketRange> ranges;
  for (const LossBurst& burst : image.wire.bursts) {
    ranges.push_back({burst.first, burst.first + burst.count});
  }
  return ranges;
}

std::vector<frameprobe::PacketRange> Ranges(const std::vector<RawPacketRange>& ranges) {
  std::vector<frameprobe::PacketRange> out;
  for (const RawPacketRange& r : ranges) out.push_back({r.first, r.last + 1});
  return out;
}

bool PacketEquals(const std::uint8_t* a, const std::uint8_t* b, int packet) {
  const std::size_t at = static_cast<std::size_t>(packet) * RAW_PACKET_DATA_LENGTH;
  return std::memcmp(a + at, b + at, RAW_PACKET_DATA_LENGTH) == 0;
}

TEST(SimulatorReplay, ADriverMeetsTheCapturesLossAgainAndGetsItsImages) {
  TempDir dir("camsim_replay_test");
  const std::string path = dir.File("run.pcap");
  const SimEndpoint camera_end = At(kNet.Host(1), NUDP_CAMERA_PORT);
  constexpr int kDriverImages = 3;
  std::string error;

  // The run captured: three images the driver recovers, the stream losing a block, the last
  // packet (so that the driver waits and asks for the status) and 1% at random; then a fourth
  // image taken by a host that asks for nothing again, so the capture never holds its loss.
  {
    SimulatorOptions o = Camera();
    o.loss = 0.01;
    o.seed = 5;
    for (int i = 100; i < 120; ++i) o.drop.push_back(i);
    o.drop.push_back(RAW_LAST_PACKET_INDEX);
    auto writer = std::make_unique<PcapWriter>();
    ASSERT_TRUE(writer->Open(path, error)) << error;
    CameraSimulator sim(o, std::move(writer));
    ASSERT_TRUE(sim.Start(error)) << error;
    {
      frameprobe::Camera camera(kNet.Host(2), kNet.Host(1));
      frameprobe::Image image;
      for (int k = 1; k <= kDriverImages; ++k) ASSERT_TRUE(camera.Grab(image).complete) << k;
    }
    TestHost host(kNet.Host(2));
    ASSERT_TRUE(host.Ok());
    ASSERT_TRUE(host.SendCommand(camera_end, NUDP_TOP_COMMAND, NUDP_CMD_START_RAW));
    ASSERT_TRUE(sim.WaitForStreamsEnded(kDriverImages + 1, milliseconds(30000)));
    sim.Stop();
    ASSERT_EQ(sim.Capture()->Error(), "");
  }

  auto loaded = std::make_unique<CaptureReplay>();
  ASSERT_TRUE(loaded->Load(path, "", error)) << error;
  ASSERT_EQ(loaded->Images(), kDriverImages + 1);
  const CaptureReplay& capture = *loaded;
  // The capture is what the simulator made: each packet it holds is the pattern's.
  std::vector<std::uint8_t> pattern(RAW_IMAGE_SIZE);
  for (int k = 1; k <= capture.Images(); ++k) {
    const CapturedImage& c = capture.Image(k);
    FillImageBytes(static_cast<std::uint32_t>(k), 0, pattern.data(), pattern.size());
    int held = 0;
    for (int n = 0; n < RAW_PACKETS_PER_IMAGE; ++n) {
      if (!c.held[static_cast<std::size_t>(n)]) continue;
      ++held;
      ASSERT_TRUE(PacketEquals(c.data.get(), pattern.data(), n)) << k << " " << n;
    }
    EXPECT_GT(c.wire.lost_before_host, 21) << k;
    EXPECT_EQ(held, k <= kDriverImages ? RAW_PACKETS_PER_IMAGE
                                       : RAW_PACKETS_PER_IMAGE - c.wire.lost_before_host);
  }

  CameraSimulator replay(Camera(), nullptr, std::move(loaded));
  ASSERT_TRUE(replay.Start(error)) << error;
  {
    frameprobe::Camera camera(kNet.Host(2), kNet.Host(1));
    frameprobe::Image image;
    for (int k = 1; k <= kDriverImages; ++k) {
      SCOPED_TRACE("image " + std::to_string(k));
      const CapturedImage& c = capture.Image(k);
      std::memset(image.Bytes(), 0xEE, RAW_IMAGE_SIZE);
      const frameprobe::GrabInfo info = camera.Grab(image);
      EXPECT_EQ(replay.ReplayImage(), k);
      EXPECT_EQ(info.lost, LostRanges(c));
      EXPECT_EQ(info.LostPackets(), c.wire.lost_before_host);
      EXPECT_EQ(info.stream_packets, c.stream_packets + c.wire.lost_in_host);
      if (c.wire.lost_in_host == 0) {
        EXPECT_EQ(info.fetched_again_packets, c.counts.fetched_again);
      }
      EXPECT_EQ(info.complete, c.complete);
      EXPECT_EQ(info.missing, Ranges(c.missing_ranges));
      EXPECT_EQ(std::memcmp(image.Bytes(), c.data.get(), RAW_IMAGE_SIZE), 0);
    }
  }

  // The fourth image to a plain host: what the capture lacks is not served, what it holds is.
  const CapturedImage& last = capture.Image(kDriverImages + 1);
  const SimulatorStats before = replay.Stats();
  TestHost host(kNet.Host(2));
  ASSERT_TRUE(host.Ok());
  ASSERT_TRUE(host.SendCommand(camera_end, NUDP_TOP_COMMAND, NUDP_CMD_START_RAW));
  ASSERT_TRUE(replay.WaitForStreamsEnded(kDriverImages + 1, milliseconds(30000)));
  EXPECT_EQ(replay.ReplayImage(), kDriverImages + 1);
  EXPECT_EQ(replay.Stats().raw_packets_sent - before.raw_packets_sent, last.stream.size());
  ASSERT_FALSE(host.ReceiveResponse(milliseconds(1000)).empty());  // the 0x08's answer
  ASSERT_FALSE(last.held[100]);                                    // dropped
  ASSERT_TRUE(host.SendCommand(camera_end, NUDP_TOP_RETRANSMIT, RawNumberField(100)));
  EXPECT_TRUE(host.ReceiveResponse(milliseconds(300)).empty());
  int held = 0;
  while (!last.held[static_cast<std::size_t>(held)]) ++held;
  ASSERT_TRUE(host.SendCommand(camera_end, NUDP_TOP_RETRANSMIT, RawNumberField(held)));
  const std::vector<std::uint8_t> answer = host.ReceiveResponse(milliseconds(1000));
  ASSERT_EQ(answer.size(), NUDP_MAX_PACKET_LENGTH);
  EXPECT_EQ(answer[2], NUDP_RESPONSE_FLAG | NUDP_TOP_RETRANSMIT);
  EXPECT_EQ(std::memcmp(answer.data() + NUDP_HEADER_LENGTH,
                        last.data.get() + static_cast<std::size_t>(held) * RAW_PACKET_DATA_LENGTH,
                        RAW_PACKET_DATA_LENGTH),
            0);
  EXPECT_EQ(replay.Stats().retransmissions_not_held, 1u);
  // After the last image the capture starts over.
  ASSERT_TRUE(host.SendCommand(camera_end, NUDP_TOP_COMMAND, NUDP_CMD_START_RAW));
  ASSERT_TRUE(replay.WaitForStreamsEnded(kDriverImages + 2, milliseconds(30000)));
  EXPECT_EQ(replay.ReplayImage(), 1);
  replay.Stop();
}

}  // namespace
}  // namespace fp::test
