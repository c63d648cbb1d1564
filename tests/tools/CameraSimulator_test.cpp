#include "tools/camsim/CameraSimulator.h"

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ImagePattern.h"

#include "SimRig.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace fp::test {
namespace {

NudpHeader H(std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5, std::uint8_t b6,
             std::uint8_t b7) {
  return {0xFF, 0x00, b2, b3, b4, b5, b6, b7};
}

std::vector<std::uint8_t> Pattern(std::uint32_t image, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  FillImageBytes(image, offset, out.data(), length);
  return out;
}

std::vector<std::uint8_t> DataOf(const std::vector<std::uint8_t>& d) {
  return {d.begin() + static_cast<long>(std::min(d.size(), NUDP_HEADER_LENGTH)), d.end()};
}

TEST(CameraSimulatorAnswers, MatchTheWorkedExamplesByteForByte) {
  SimRig rig(/*net=*/1, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.error;

  auto binning = rig.Ask(0, 0x105);
  ASSERT_EQ(binning.size(), 8u);
  EXPECT_EQ(HeaderOf(binning), H(0x80, 0x7A, 0x05, 0x01, 0x00, 0x00));

  auto refresh = rig.Ask(0, NUDP_CMD_REFRESH);
  ASSERT_EQ(refresh.size(), 8u);
  EXPECT_EQ(HeaderOf(refresh), H(0x80, 0x84, 0xFC, 0x00, 0x00, 0x00));

  // No image taken yet: nothing is running, so the status says finished.
  auto status = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(status.size(), 12u);
  EXPECT_EQ(HeaderOf(status), H(0x80, 0x76, 0x0A, 0x00, 0x00, 0x00));
  EXPECT_EQ(status[8 + NUDP_STATUS_BYTE], NUDP_STATUS_FINISHED);

  auto id = rig.Ask(0, NUDP_CMD_IDENTIFY);
  ASSERT_EQ(id.size(), 8u + 32u);
  EXPECT_EQ(HeaderOf(id), H(0x80, 0x91, 0xEF, 0x00, 0x00, 0x00));
  EXPECT_STREQ(reinterpret_cast<const char*>(id.data() + 8 + NUDP_ID_TEXT_OFFSET),
               SimulatorOptions{}.id_text.c_str());

  // Packet 251 before any image: served from image 0.
  auto resend = rig.Ask(NUDP_TOP_RETRANSMIT, 0x1F600);
  ASSERT_EQ(resend.size(), 8u + 1024u);
  EXPECT_EQ(HeaderOf(resend), H(0x86, 0x83, 0x00, 0xF6, 0x01, 0x00));
  EXPECT_EQ(DataOf(resend), Pattern(0, 0x3EC00, 1024));

  // Any TOP from 1 to 5 and any other code: the header echoed, no data.
  auto other = rig.Ask(5, 0x12345678);
  ASSERT_EQ(other.size(), 8u);
  EXPECT_EQ(HeaderOf(other), BuildExpectedResponse(BuildCommandHeader(5, 0x12345678)));
  EXPECT_TRUE(NudpChecksumOk(other.data()));
}

TEST(CameraSimulatorAnswers, IdentificationCarriesTheGivenText) {
  SimulatorOptions o;
  o.id_text = "123456789012345678901";  // the longest that fits
  SimRig rig(/*net=*/2, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  auto id = rig.Ask(0, NUDP_CMD_IDENTIFY);
  ASSERT_EQ(id.size(), 40u);
  EXPECT_EQ(id.back(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(id.data() + 18), o.id_text.c_str());
}

TEST(CameraSimulatorStream, FullImageAtTheDefaultRateReachesAPlainReceiver) {
  SimRig rig(/*net=*/3, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  const ReceivedStream s = rig.ReceiveImage(/*image=*/1, RAW_PACKETS_PER_IMAGE, /*streams=*/1);
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));

  // The answer comes first, before any RAW packet.
  ASSERT_EQ(s.responses.size(), 1u);
  EXPECT_EQ(HeaderOf(s.responses[0]), H(0x80, 0x78, 0x08, 0x00, 0x00, 0x00));
  EXPECT_EQ(s.responses[0].size(), 8u);

  const SimulatorStats stats = rig.sim->Stats();
  EXPECT_EQ(stats.raw_packets_sent, 8248u);
  EXPECT_EQ(stats.images_finished, 1u);
  // Paced in batches, not packet by packet: every system call but the last carries at least
  // the packets of one wake-up, however late the thread wakes.
  EXPECT_LE(stats.raw_send_calls, 8248u / 8u);
  EXPECT_EQ(s.bad_headers, 0);
  EXPECT_EQ(s.bad_data, 0);
  const double ms = std::chrono::duration<double, std::milli>(s.first_to_last).count();
  std::printf(
      "received %zu of 8248 packets, receive buffer %d bytes, first to last %.1f ms; "
      "simulator reports %.1f Mbit/s on the wire (%.1f of payload) in %llu system calls, "
      "its thread used %.1f ms of CPU\n",
      s.indices.size(), rig.host.ReceiveBufferSize(), ms, stats.LastStreamMbit(),
      stats.AchievedPayloadMbit(), static_cast<unsigned long long>(stats.raw_send_calls),
      stats.stream_cpu_seconds * 1e3);
  RecordProperty("received", static_cast<int>(s.indices.size()));
  if (HostHoldsWholeImage()) {
    // Nothing can be lost on loopback with a buffer that holds the image: exact.
    ASSERT_EQ(s.indices.size(), 8248u);
    for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
      ASSERT_EQ(s.indices[static_cast<std::size_t>(i)], i);
      ASSERT_EQ(s.headers[static_cast<std::size_t>(i)],
                BuildCommandHeader(NUDP_TOP_RAW_DATA, RawNumberField(i)));
    }
    EXPECT_EQ(s.headers[0], H(0x07, 0xF9, 0x00, 0x00, 0x00, 0x00));
    EXPECT_EQ(s.headers[251], H(0x07, 0x02, 0x00, 0xF6, 0x01, 0x00));
    EXPECT_EQ(s.headers[8247], H(0x07, 0x4B, 0x00, 0x6E, 0x40, 0x00));
  } else {
    EXPECT_GT(s.indices.size(), 0u);
  }
}

TEST(CameraSimulatorStream, UnpacedStreamIsCompleteWithABigBuffer) {
  // The whole image is read only after the stream ended, so the buffer must hold it.
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimRig rig(/*net=*/4, WithRate(0));
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  const ReceivedStream s = ReceiveStream(rig.host, 1, RAW_PACKETS_PER_IMAGE, kQuiet, kStreamLimit);
  EXPECT_EQ(s.indices.size(), 8248u);
  EXPECT_EQ(std::set<int>(s.indices.begin(), s.indices.end()).size(), 8248u);
  EXPECT_EQ(s.bad_headers + s.bad_data, 0);
  const SimulatorStats stats = rig.sim->Stats();
  std::printf("unpaced: %.1f Mbit/s on the wire, %.1f of payload, %llu system calls\n",
              stats.LastStreamMbit(), stats.AchievedPayloadMbit(),
              static_cast<unsigned long long>(stats.raw_send_calls));
}

TEST(CameraSimulatorStream, StatusSaysFinishedOnlyAfterTheStream) {
  // At 100 Mbit/s an image takes at least 724 ms, so the first status surely comes mid-stream.
  SimRig rig(/*net=*/5, WithRate(100));
  ASSERT_TRUE(rig.Ready()) << rig.error;
  auto answer = rig.Ask(0, NUDP_CMD_START_RAW);
  ASSERT_EQ(HeaderOf(answer), H(0x80, 0x78, 0x08, 0x00, 0x00, 0x00));
  auto during = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(during.size(), 12u);
  EXPECT_EQ(during[8 + NUDP_STATUS_BYTE] & NUDP_STATUS_FINISHED, 0);
  EXPECT_TRUE(rig.sim->Streaming());

  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  auto after = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(after.size(), 12u);
  EXPECT_EQ(after[8 + NUDP_STATUS_BYTE], NUDP_STATUS_FINISHED);
}

TEST(CameraSimulatorStream, RetransmissionReturnsTheStreamedData) {
  SimRig rig(/*net=*/6, WithRate(DeterministicRate()));
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  // Keep the streamed copies of a few packets.
  std::vector<std::vector<std::uint8_t>> streamed(RAW_PACKETS_PER_IMAGE);
  std::size_t raw = 0;
  while (raw < RAW_PACKETS_PER_IMAGE) {
    auto d = rig.host.Receive(kQuiet);
    if (d.empty()) break;
    if (d[2] != NUDP_RAW_TOP_BYTE) continue;
    ++raw;
    streamed[RawPacketIndex(ReadNumberField(d.data()))] = DataOf(d);
  }
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  EXPECT_EQ(rig.sim->ImageNumber(), 1u);
  int compared = 0;
  for (int index : {0, 5, 251, 4000, 8247}) {
    auto again = rig.Ask(NUDP_TOP_RETRANSMIT, RawNumberField(index));
    ASSERT_EQ(again.size(), 1032u) << index;
    EXPECT_EQ(HeaderOf(again), BuildExpectedResponse(
                                   BuildCommandHeader(NUDP_TOP_RETRANSMIT, RawNumberField(index))));
    EXPECT_EQ(DataOf(again), Pattern(1, static_cast<std::uint64_t>(index) * 1024, 1024));
    if (!streamed[static_cast<std::size_t>(index)].empty()) {
      EXPECT_EQ(DataOf(again), streamed[static_cast<std::size_t>(index)]) << index;
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
  // An offset that is no packet start gets the 1024 bytes from there; near the end, fewer;
  // past the end, none.
  auto odd = rig.Ask(NUDP_TOP_RETRANSMIT, RawNumberField(10) + 1);
  EXPECT_EQ(DataOf(odd), Pattern(1, 10 * 1024 + 2, 1024));
  auto tail = rig.Ask(NUDP_TOP_RETRANSMIT, RawNumberField(8247) + 256);
  EXPECT_EQ(DataOf(tail), Pattern(1, 8247 * 1024 + 512, 512));
  auto past = rig.Ask(NUDP_TOP_RETRANSMIT, RawNumberField(8248));
  EXPECT_EQ(past.size(), 8u);
  EXPECT_EQ(rig.sim->Stats().retransmissions_served, 8u);
}

TEST(CameraSimulatorStream, NewStartCommandRestartsWithTheNextImage) {
  // Paced so that the first image is still streaming when the second 0x08 comes.
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimRig rig(/*net=*/7, WithRate(100));
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_FALSE(rig.Ask(0, NUDP_CMD_START_RAW).empty());
  ASSERT_FALSE(rig.Ask(0, 0x108).empty());  // any number field with low byte 0x08 starts
  const ReceivedStream s = rig.ReceiveImage(/*image=*/2, RAW_PACKETS_PER_IMAGE, /*streams=*/2);
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(2, kStreamLimit));
  const SimulatorStats stats = rig.sim->Stats();
  EXPECT_EQ(stats.images_started, 2u);
  EXPECT_EQ(stats.images_interrupted, 1u);
  EXPECT_EQ(stats.images_finished, 1u);
  EXPECT_EQ(rig.sim->ImageNumber(), 2u);
  // The second image arrives whole and checks against image 2's pattern.
  EXPECT_EQ(std::set<int>(s.indices.begin(), s.indices.end()).size(), 8248u);
  EXPECT_EQ(s.bad_data, 0);
}

TEST(CameraSimulatorPacing, RateCountsEachPacketAsTheBytesItTakesOnTheWire) {
  // 1032 bytes of UDP payload and 66 of headers, check sequence, preamble and gap.
  EXPECT_EQ(kRawWireBytes, 1098u);
  EXPECT_DOUBLE_EQ(RawPacketInterval(1000) * 1e9, 8784.0);
  EXPECT_NEAR(RawPacketInterval(1000) * RAW_PACKETS_PER_IMAGE * 1e3, 72.45, 0.001);  // ms
  EXPECT_EQ(RawPacketInterval(0), 0.0);

  // One image in exactly that time is 1000 Mbit/s on the wire, 940 of payload.
  SimulatorStats stats;
  stats.raw_packets_sent = RAW_PACKETS_PER_IMAGE;
  stats.raw_bytes_sent = RAW_PACKETS_PER_IMAGE * kRawDatagramLength;
  stats.stream_seconds = RawPacketInterval(1000) * RAW_PACKETS_PER_IMAGE;
  stats.last_stream_packets = stats.raw_packets_sent;
  stats.last_stream_seconds = stats.stream_seconds;
  stats.images_finished = 1;
  EXPECT_NEAR(stats.AchievedMbit(), 1000.0, 1e-6);
  EXPECT_NEAR(stats.LastStreamMbit(), 1000.0, 1e-6);
  EXPECT_NEAR(stats.AchievedPayloadMbit(), 1000.0 * 1032 / 1098, 1e-6);
  const std::string text = CameraSimulator::FormatStats(stats);
  EXPECT_NE(text.find("achieved rate: 1000.0 Mbit/s on the wire (939.9 Mbit/s of UDP payload)"),
            std::string::npos)
      << text;
}

TEST(CameraSimulatorCommands, RecordsEachCommandWithItsSenderAndCountsByCodeAndPort) {
  SimRig rig(/*net=*/8, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.error;
  TestHost watchdog(LoopbackAddress(8, 2), 32101);
  ASSERT_TRUE(watchdog.Ok());
  ASSERT_FALSE(rig.Ask(0, 0x105).empty());
  ASSERT_TRUE(watchdog.SendCommand(rig.camera, 0, NUDP_CMD_REFRESH));
  ASSERT_FALSE(watchdog.ReceiveResponse(kAnswerWait).empty());
  ASSERT_FALSE(rig.Ask(NUDP_TOP_RETRANSMIT, 0x1F600).empty());
  ASSERT_FALSE(rig.Ask(NUDP_TOP_RETRANSMIT, 0x200).empty());

  const auto commands = rig.sim->Commands();
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].header, BuildCommandHeader(0, 0x105));
  EXPECT_EQ(commands[0].from, rig.host.Endpoint());
  EXPECT_EQ(commands[1].header, BuildCommandHeader(0, NUDP_CMD_REFRESH));
  EXPECT_EQ(commands[1].from.port, 32101);
  EXPECT_EQ(commands[2].header, BuildCommandHeader(6, 0x1F600));
  EXPECT_EQ(commands[3].header, BuildCommandHeader(6, 0x200));
  for (std::size_t i = 1; i < commands.size(); ++i) {
    EXPECT_LE(commands[i - 1].time, commands[i].time);
    EXPECT_FALSE(commands[i].ignored);
    EXPECT_EQ(commands[i].length, 8u);
  }
  const SimulatorStats stats = rig.sim->Stats();
  EXPECT_EQ(stats.commands_received, 4u);
  EXPECT_EQ(stats.answers_sent, 4u);
  EXPECT_EQ(stats.retransmissions_served, 2u);
  EXPECT_EQ(stats.bytes_sent, 4u * 8u + 2u * 1024u);
  EXPECT_EQ((stats.by_code_and_port.at(CommandKey{0, 0x105, 32100})), 1u);
  EXPECT_EQ((stats.by_code_and_port.at(CommandKey{0, 0xFC, 32101})), 1u);
  EXPECT_EQ((stats.by_code_and_port.at(CommandKey{6, 0, 32100})), 2u);
  const std::string text = CameraSimulator::FormatStats(stats);
  EXPECT_NE(text.find("TOP 0 number 0x000000FC from port 32101: 1"), std::string::npos) << text;
  EXPECT_NE(text.find("retransmissions served: 2"), std::string::npos) << text;
}

TEST(CameraSimulatorCommands, DropsDatagramsThatAreNoCommandsUnanswered) {
  SimRig rig(/*net=*/9, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.error;
  const NudpHeader good = BuildCommandHeader(0, 0x105);
  auto damaged = [&](std::size_t at, std::uint8_t value) {
    NudpHeader h = good;
    h[at] = value;
    return h;
  };
  std::vector<std::vector<std::uint8_t>> bad;
  bad.emplace_back(good.begin(), good.begin() + 7);  // too short
  const NudpHeader no_signature = damaged(1, 0x01);
  bad.emplace_back(no_signature.begin(), no_signature.end());
  const NudpHeader bad_sum = damaged(3, static_cast<std::uint8_t>(good[3] + 1));
  bad.emplace_back(bad_sum.begin(), bad_sum.end());
  for (std::uint8_t top_byte : {std::uint8_t{0x07}, std::uint8_t{0x80}, std::uint8_t{0x10}}) {
    NudpHeader h = good;
    h[2] = top_byte;
    h[3] = NudpChecksum(h.data());
    bad.emplace_back(h.begin(), h.end());
  }
  std::vector<std::uint8_t> oversized(NUDP_MAX_PACKET_LENGTH + 1, 0);
  std::copy(good.begin(), good.end(), oversized.begin());
  bad.push_back(oversized);
  for (const auto& d : bad) ASSERT_TRUE(rig.host.Send(rig.camera, d.data(), d.size()));
  EXPECT_TRUE(rig.host.Receive(milliseconds(300)).empty());
  // Still alive: a good command after them is answered, and it is the only one recorded.
  EXPECT_EQ(rig.Ask(0, 0x105).size(), 8u);
  EXPECT_EQ(rig.sim->Commands().size(), 1u);
  EXPECT_EQ(rig.sim->Stats().datagrams_rejected, bad.size());
}

TEST(CameraSimulatorLifecycle, SecondSimulatorOnTheSameEndpointFailsToStart) {
  SimRig rig(/*net=*/10, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.error;
  SimulatorOptions o;
  o.bind_address = LoopbackAddress(10, 1);
  CameraSimulator second(o);
  std::string error;
  EXPECT_FALSE(second.Start(error));
  EXPECT_NE(error.find("cannot bind"), std::string::npos) << error;
  rig.sim->Stop();
  EXPECT_FALSE(rig.sim->Running());
  rig.sim->Stop();  // idempotent
  EXPECT_TRUE(second.Start(error)) << error;
}

}  // namespace
}  // namespace fp::test
