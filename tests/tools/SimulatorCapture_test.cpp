// The simulator's capture: every datagram it receives and sends, as a second reader sees it.

#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/PcapWriter.h"

#include "PcapReader.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <unistd.h>

namespace fp::test {
namespace {

using std::chrono::milliseconds;

SimEndpoint At(const char* address, std::uint16_t port) {
  in_addr a{};
  inet_pton(AF_INET, address, &a);
  return SimEndpoint{a.s_addr, port};
}

std::vector<std::uint8_t> Bytes(const NudpHeader& h) { return {h.begin(), h.end()}; }

TEST(SimulatorCapture, RecordsEveryDatagramReceivedAndSent) {
  char path[] = "/tmp/simcapture_test_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto writer = std::make_unique<PcapWriter>();
  std::string error;
  ASSERT_TRUE(writer->Open(path, error)) << error;

  SimulatorOptions options;
  options.bind_address = "127.11.3.1";
  options.rate_mbit = 0;
  options.drop = {5};
  CameraSimulator sim(options, std::move(writer));
  ASSERT_TRUE(sim.Start(error)) << error;
  TestHost host("127.11.3.2");
  ASSERT_TRUE(host.Ok());
  const SimEndpoint camera = At("127.11.3.1", 1234);

  ASSERT_TRUE(host.SendCommand(camera, NUDP_TOP_COMMAND, NUDP_CMD_BINNING_ON));
  ASSERT_FALSE(host.ReceiveResponse(milliseconds(5000)).empty());
  const std::uint8_t junk[3] = {1, 2, 3};  // rejected, and recorded all the same
  ASSERT_TRUE(host.Send(camera, junk, sizeof junk));
  ASSERT_TRUE(host.SendCommand(camera, NUDP_TOP_COMMAND, NUDP_CMD_START_RAW));
  ASSERT_TRUE(sim.WaitForStreamsEnded(1, milliseconds(30000)));
  ASSERT_TRUE(host.SendCommand(camera, NUDP_TOP_RETRANSMIT, RawNumberField(5)));
  // The answers are sent on the simulator thread before it looks at the next datagram, so
  // once the retransmission request is counted, Stop() finds every answer sent.
  ASSERT_TRUE(sim.WaitForCommands(3, milliseconds(5000)));
  sim.Stop();
  ASSERT_NE(sim.Capture(), nullptr);
  EXPECT_EQ(sim.Capture()->Error(), "");
  const SimulatorStats stats = sim.Stats();

  std::vector<CapturedDatagram> records;
  ASSERT_TRUE(ReadCapture(path, records, error)) << error;
  std::remove(path);
  EXPECT_EQ(records.size(), 4 + stats.answers_sent + stats.raw_packets_sent);
  EXPECT_EQ(sim.Capture()->Records(), records.size());
  EXPECT_EQ(stats.answers_sent, 3u);
  EXPECT_EQ(stats.raw_packets_sent, 8247u);
  ASSERT_GE(records.size(), 5u);
  for (const CapturedDatagram& d : records) ASSERT_EQ(d.problems, "");

  EXPECT_EQ(records[0].from, host.Endpoint());
  EXPECT_EQ(records[0].to, camera);
  EXPECT_EQ(records[0].payload, Bytes(BuildCommandHeader(0, NUDP_CMD_BINNING_ON)));
  EXPECT_EQ(records[1].from, camera);
  EXPECT_EQ(records[1].to, host.Endpoint());
  EXPECT_EQ(records[1].payload,
            Bytes(BuildExpectedResponse(BuildCommandHeader(0, NUDP_CMD_BINNING_ON))));
  EXPECT_EQ(records[2].payload, std::vector<std::uint8_t>(junk, junk + 3));
  EXPECT_EQ(records[3].payload, Bytes(BuildCommandHeader(0, NUDP_CMD_START_RAW)));
  EXPECT_EQ(records[4].payload,
            Bytes(BuildExpectedResponse(BuildCommandHeader(0, NUDP_CMD_START_RAW))));

  std::size_t raw = 0;
  bool five = false;
  for (const CapturedDatagram& d : records) {
    if (d.payload.size() == kRawDatagramLength && d.payload[2] == NUDP_RAW_TOP_BYTE) {
      ++raw;
      five = five || RawPacketIndex(ReadNumberField(d.payload.data())) == 5;
      EXPECT_EQ(d.from, camera);
    }
  }
  EXPECT_EQ(raw, stats.raw_packets_sent);
  EXPECT_FALSE(five);
  // The retransmission and its answer with the packet's 1024 bytes come last.
  const CapturedDatagram& answer = records.back();
  ASSERT_EQ(answer.payload.size(), kRawDatagramLength);
  EXPECT_EQ(answer.payload[2], NUDP_RESPONSE_FLAG | NUDP_TOP_RETRANSMIT);
  EXPECT_EQ(records[records.size() - 2].payload,
            Bytes(BuildCommandHeader(NUDP_TOP_RETRANSMIT, RawNumberField(5))));
}

}  // namespace
}  // namespace fp::test
