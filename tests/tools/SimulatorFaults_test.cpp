// Each fault flag of the simulator does what it says. Stream tests that compare the received
// packets with the simulator's plan exactly run unpaced into a host socket that holds a whole
// image, and skip where the host cannot get one.
#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/StreamPlan.h"

#include "SimRig.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace fp::test {
namespace {

// Streams image 1 unpaced with `options` and returns what arrived. Only for tests that skip
// without HostHoldsWholeImage().
ReceivedStream StreamOnce(int net, SimulatorOptions options, std::vector<int>& plan,
                          SimulatorStats* stats = nullptr) {
  options.rate_mbit = 0;
  SimRig rig(net, options);
  EXPECT_TRUE(rig.Ready()) << rig.error;
  plan = PlanStream(rig.sim->Options(), 1);
  EXPECT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  ReceivedStream s = rig.ReceiveImage(/*image=*/1, plan.size(), /*streams=*/1);
  EXPECT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  EXPECT_EQ(s.bad_headers + s.bad_data, 0);
  if (stats != nullptr) *stats = rig.sim->Stats();
  return s;
}

TEST(SimulatorFaults, DropLeavesOutExactlyTheListedPackets) {
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimulatorOptions o;
  o.drop = {5, 8247};
  for (int i = 100; i <= 199; ++i) o.drop.push_back(i);
  std::vector<int> plan;
  SimulatorStats stats;
  const ReceivedStream s = StreamOnce(/*net=*/20, o, plan, &stats);
  EXPECT_EQ(plan.size(), 8248u - 102u);
  EXPECT_EQ(s.indices, plan);
  const std::set<int> got(s.indices.begin(), s.indices.end());
  EXPECT_EQ(got.count(5) + got.count(8247) + got.count(150), 0u);
  EXPECT_EQ(got.size(), 8146u);
  EXPECT_EQ(stats.raw_packets_sent, 8146u);
}

TEST(SimulatorFaults, LossLeavesOutASeededFraction) {
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimulatorOptions o;
  o.loss = 0.1;
  o.seed = 7;
  std::vector<int> plan;
  const ReceivedStream s = StreamOnce(/*net=*/21, o, plan);
  EXPECT_EQ(s.indices, plan);
  // About 825 of 8248 left out; the plan is fixed by the seed.
  EXPECT_GT(plan.size(), 8248u - 1100u);
  EXPECT_LT(plan.size(), 8248u - 550u);
  EXPECT_EQ(PlanStream(o, 1), plan);
  o.seed = 8;
  EXPECT_NE(PlanStream(o, 1), plan);
}

TEST(SimulatorFaults, DuplicateSendsSomePacketsTwice) {
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimulatorOptions o;
  o.duplicate = 0.05;
  std::vector<int> plan;
  SimulatorStats stats;
  const ReceivedStream s = StreamOnce(/*net=*/22, o, plan, &stats);
  EXPECT_EQ(s.indices, plan);
  EXPECT_GT(s.indices.size(), 8248u + 200u);
  EXPECT_EQ(std::set<int>(s.indices.begin(), s.indices.end()).size(), 8248u);
  // Each second copy counted as such, and said in the statistics.
  EXPECT_EQ(stats.raw_duplicates_sent, s.indices.size() - 8248u);
  EXPECT_NE(CameraSimulator::FormatStats(stats).find(
                "RAW packets sent twice: " + std::to_string(s.indices.size() - 8248u) + "\n"),
            std::string::npos);
}

TEST(SimulatorFaults, ReorderShufflesWithinWindows) {
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimulatorOptions o;
  o.reorder = 16;
  std::vector<int> plan;
  const ReceivedStream s = StreamOnce(/*net=*/23, o, plan);
  ASSERT_EQ(s.indices.size(), 8248u);
  EXPECT_EQ(s.indices, plan);
  EXPECT_FALSE(std::is_sorted(s.indices.begin(), s.indices.end()));
  for (std::size_t i = 0; i < s.indices.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(s.indices[i]) / 16, i / 16) << i;
  }
}

TEST(SimulatorFaults, LastFirstSendsPacket8247BeforeTheOthers) {
  if (!HostHoldsWholeImage()) GTEST_SKIP() << kNoWholeImageBuffer;
  SimulatorOptions o;
  o.last_first = true;
  std::vector<int> plan;
  const ReceivedStream s = StreamOnce(/*net=*/24, o, plan);
  ASSERT_EQ(s.indices.size(), 8248u);
  EXPECT_EQ(s.indices[0], 8247);
  EXPECT_EQ(s.indices[1], 0);
  EXPECT_EQ(s.indices.back(), 8246);
}

TEST(SimulatorFaults, StopAfterEndsTheStreamAndTheStatusSaysFinished) {
  SimulatorOptions o;
  o.stop_after = 100;
  SimRig rig(/*net=*/25, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  const ReceivedStream s = rig.ReceiveImage(/*image=*/1, 8248, /*streams=*/1, milliseconds(300));
  ASSERT_EQ(s.indices.size(), 100u);
  EXPECT_EQ(s.indices.back(), 99);
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  auto status = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(status.size(), 12u);
  EXPECT_EQ(status[8 + NUDP_STATUS_BYTE], NUDP_STATUS_FINISHED);
}

TEST(SimulatorFaults, UnfinishedStatusNeverSaysFinished) {
  SimulatorOptions o;
  o.stop_after = 10;
  o.unfinished = true;
  SimRig rig(/*net=*/26, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  auto before = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(before.size(), 12u);
  EXPECT_EQ(before[8 + NUDP_STATUS_BYTE] & NUDP_STATUS_FINISHED, 0);
  ASSERT_FALSE(rig.Ask(0, NUDP_CMD_START_RAW).empty());
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  auto after = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(after.size(), 12u);
  EXPECT_EQ(after[8 + NUDP_STATUS_BYTE] & NUDP_STATUS_FINISHED, 0);
}

TEST(SimulatorFaults, SilentAnswersNothingAndStreamsNothingButRecords) {
  SimulatorOptions o;
  o.silent = true;
  SimRig rig(/*net=*/27, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  for (std::uint32_t number : {0x105u, 0x08u, 0xEFu}) {
    ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, number));
  }
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, NUDP_TOP_RETRANSMIT, 0x1F600));
  EXPECT_TRUE(rig.host.Receive(milliseconds(300)).empty());
  ASSERT_TRUE(rig.sim->WaitForCommands(4, kAnswerWait));
  const auto commands = rig.sim->Commands();
  ASSERT_EQ(commands.size(), 4u);
  for (const auto& c : commands) EXPECT_TRUE(c.ignored);
  const SimulatorStats stats = rig.sim->Stats();
  EXPECT_EQ(stats.answers_sent, 0u);
  EXPECT_EQ(stats.images_started, 0u);
  EXPECT_EQ(stats.commands_ignored, 4u);
}

TEST(SimulatorFaults, SilentCmdIgnoresOnlyThatCode) {
  SimulatorOptions o;
  o.silent_cmd = {CommandMatch{/*retransmit=*/false, /*code=*/0xFC}};
  SimRig rig(/*net=*/28, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_REFRESH));
  EXPECT_TRUE(rig.host.Receive(milliseconds(300)).empty());
  EXPECT_EQ(rig.Ask(0, 0x105).size(), 8u);
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_REFRESH));
  ASSERT_TRUE(rig.sim->WaitForCommands(3, kAnswerWait));
  EXPECT_TRUE(rig.host.Receive(milliseconds(300)).empty());
  const auto commands = rig.sim->Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_TRUE(commands[0].ignored);
  EXPECT_FALSE(commands[1].ignored);
  EXPECT_TRUE(commands[2].ignored);
}

TEST(SimulatorFaults, DamageAnswersOnceWithAWrongChecksum) {
  SimulatorOptions o;
  o.damage = {CommandMatch{/*retransmit=*/false, /*code=*/NUDP_CMD_TRANSFER_STATUS}};
  SimRig rig(/*net=*/29, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  const NudpHeader expected =
      BuildExpectedResponse(BuildCommandHeader(0, NUDP_CMD_TRANSFER_STATUS));
  auto first = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  ASSERT_EQ(first.size(), 12u);
  EXPECT_FALSE(NudpChecksumOk(first.data()));
  NudpHeader repaired = HeaderOf(first);
  repaired[3] = NudpChecksum(repaired.data());
  EXPECT_EQ(repaired, expected);  // only the checksum is wrong
  auto second = rig.Ask(0, NUDP_CMD_TRANSFER_STATUS);
  EXPECT_EQ(HeaderOf(second), expected);
  EXPECT_EQ(rig.sim->Stats().answers_damaged, 1u);
}

TEST(SimulatorFaults, AnswerAfterStreamAnswersStartAfterTheLastPacket) {
  SimulatorOptions o;
  o.answer_after_stream = true;
  o.rate_mbit = DeterministicRate();
  SimRig rig(/*net=*/30, o);
  ASSERT_TRUE(rig.Ready()) << rig.error;
  ASSERT_TRUE(rig.host.SendCommand(rig.camera, 0, NUDP_CMD_START_RAW));
  // Everything up to and including the answer, in arrival order. Only the answer ends the
  // wait, or the time limit: the simulator may pause for a while on a loaded machine.
  std::size_t raw_before_answer = 0;
  std::vector<std::uint8_t> answer;
  const auto deadline = std::chrono::steady_clock::now() + kStreamLimit;
  while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
    auto d = rig.host.Receive(kQuiet);
    if (d.empty()) continue;
    if (d[2] == NUDP_RAW_TOP_BYTE) {
      ++raw_before_answer;
    } else {
      answer = d;
    }
  }
  EXPECT_EQ(HeaderOf(answer), BuildExpectedResponse(BuildCommandHeader(0, NUDP_CMD_START_RAW)));
  ASSERT_TRUE(rig.sim->WaitForStreamsEnded(1, kStreamLimit));
  EXPECT_EQ(rig.sim->Stats().raw_packets_sent, 8248u);
  // Nothing follows the answer.
  EXPECT_TRUE(rig.host.Receive(milliseconds(300)).empty());
  if (HostHoldsWholeImage()) {
    EXPECT_EQ(raw_before_answer, 8248u);
  } else {
    // The test may have fallen behind and lost some, but all it got came before the answer.
    EXPECT_GT(raw_before_answer, 0u);
  }
}

}  // namespace
}  // namespace fp::test
