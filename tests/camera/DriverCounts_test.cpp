// The driver's counters against the simulated camera: what one transfer and the time since Open
// hold, and the counts of commands repeated, timed out, drained and given up.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

#include "tests/camera/CameraRig.h"
#include <gtest/gtest.h>

namespace fp::test {
namespace {

// Commands the simulator received from the driver's socket (port 32100), by kind.
struct Received {
  std::uint64_t all = 0;
  std::uint64_t status = 0;
  std::uint64_t retransmissions = 0;
};

Received CommandsReceived(CameraRig& rig) {
  Received r;
  for (const ReceivedCommand& c : rig.Sim().Commands()) {
    if (c.from.port != 32100) continue;
    ++r.all;
    const std::uint8_t top = c.header[2] & NUDP_TOP_MASK;
    if (top == NUDP_TOP_RETRANSMIT) ++r.retransmissions;
    if (top == NUDP_TOP_COMMAND && ReadNumberField(c.header.data()) == NUDP_CMD_TRANSFER_STATUS) {
      ++r.status;
    }
  }
  return r;
}

TEST(DriverCounts, EachTransferFromItsStartCommandAndEverythingSinceOpen) {
  SimulatorOptions options;
  options.drop = {5, 8247};  // the stream ends on silence and a status request
  CameraRig rig(80, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  ASSERT_TRUE(rig.Camera().ReadMissing(image.get()));
  const DriverCounters first = rig.Camera().Counters();
  const Received sent = CommandsReceived(rig);
  const DriverCounts& t = first.last_transfer;
  EXPECT_EQ(t.camera.commands, sent.all);
  EXPECT_EQ(t.camera.status_requests, sent.status);
  EXPECT_GE(t.camera.status_requests, 1u);
  EXPECT_EQ(t.camera.retransmission_requests, 2u);
  EXPECT_EQ(t.camera.answered_retransmissions, 2u);
  EXPECT_EQ(t.camera.fetched_again, 2u);
  EXPECT_EQ(t.camera.repeats + t.camera.timeouts + t.camera.lost_contacts, 0u);
  EXPECT_EQ(t.socket.stored, std::uint64_t{RAW_PACKETS_PER_IMAGE - 2});
  EXPECT_EQ(t.socket.raw, t.socket.stored);
  EXPECT_EQ(t.socket.matched_answers, sent.all);
  EXPECT_EQ(t.socket.received, t.socket.raw + t.socket.matched_answers);
  EXPECT_EQ(first.receive_buffer_bytes, rig.Camera().Nudp().ReceiveBufferBytes());
  // Nothing was sent before the start command since Open.
  EXPECT_EQ(first.since_open.camera.commands, t.camera.commands);
  EXPECT_EQ(first.since_open.socket.received, t.socket.received);

  // The next start command begins the next transfer's counts; those since Open go on.
  ASSERT_TRUE(rig.Camera().SetRawDataBuffer(image.get()));
  ASSERT_TRUE(rig.Camera().SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND));
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  ASSERT_TRUE(rig.Camera().ReadMissing(image.get()));
  const DriverCounters second = rig.Camera().Counters();
  EXPECT_EQ(second.last_transfer.camera.commands, CommandsReceived(rig).all - sent.all);
  EXPECT_EQ(second.last_transfer.camera.fetched_again, 2u);
  EXPECT_EQ(second.last_transfer.socket.stored, std::uint64_t{RAW_PACKETS_PER_IMAGE - 2});
  EXPECT_EQ(second.since_open.camera.commands, CommandsReceived(rig).all);
  EXPECT_EQ(second.since_open.camera.fetched_again, 4u);
  EXPECT_EQ(second.since_open.socket.stored, 2u * (RAW_PACKETS_PER_IMAGE - 2));

  // Open again: nothing since.
  ASSERT_TRUE(rig.Camera().Close());
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
  const DriverCounters reopened = rig.Camera().Counters();
  EXPECT_EQ(reopened.since_open.camera.commands, 0u);
  EXPECT_EQ(reopened.since_open.socket.received, 0u);
  EXPECT_EQ(reopened.last_transfer.socket.stored, 0u);
}

TEST(DriverCounts, RepeatsTimeoutsDrainsAndLostContact) {
  struct Case {
    const char* name;
    int net;
    SimulatorOptions options;
    std::uint32_t command;
    bool answered;
    CameraCounts camera;  // since Open; status requests, retransmissions and fetches are 0
    std::uint64_t damaged;
  };
  SimulatorOptions silent_binning;
  silent_binning.silent_cmd = {CommandMatch{false, NUDP_CMD_BINNING_ON}};
  SimulatorOptions damaged_start;
  damaged_start.damage = {CommandMatch{false, NUDP_CMD_START_RAW}};
  const std::vector<Case> cases = {
      {"an unanswered command", 81, silent_binning, NUDP_CMD_BINNING_ON, false,
       CameraCounts{3, 2, 3, 0, 0, 0, 0, 0, 1}, 0},
      // The camera streams after its damaged answer: it is let fall silent before the repeat.
      {"a damaged answer to 0x08", 82, damaged_start, NUDP_CMD_START_RAW, true,
       CameraCounts{2, 1, 0, 0, 0, 0, 0, 1, 0}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CameraRig rig(c.net, c.options);
    Image image;
    ASSERT_TRUE(rig.Ready()) << rig.Error();
    ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
    ASSERT_TRUE(rig.Camera().SetRawDataBuffer(image.get()));
    EXPECT_EQ(rig.Camera().SendCmd(c.command, NUDP_TOP_COMMAND), c.answered);
    rig.Camera().WaitForRawData();
    const DriverCounts counts = rig.Camera().Counters().since_open;
    EXPECT_EQ(counts.camera.commands, c.camera.commands);
    EXPECT_EQ(counts.camera.commands, CommandsReceived(rig).all);
    EXPECT_EQ(counts.camera.repeats, c.camera.repeats);
    EXPECT_EQ(counts.camera.timeouts, c.camera.timeouts);
    EXPECT_EQ(counts.camera.drains, c.camera.drains);
    EXPECT_EQ(counts.camera.lost_contacts, c.camera.lost_contacts);
    EXPECT_EQ(counts.socket.damaged, c.damaged);
    if (c.camera.drains > 0) {
      // What the first stream sent while receiving was off, refused and counted.
      EXPECT_GT(counts.socket.refused, 0u);
      EXPECT_EQ(counts.socket.raw,
                counts.socket.refused + counts.socket.stored + counts.socket.duplicates);
    }
  }
}

}  // namespace
}  // namespace fp::test
