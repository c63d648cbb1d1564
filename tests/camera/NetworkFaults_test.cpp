// The driver against cameras and networks that misbehave: answers delivered twice, a damaged
// answer to the start command while the camera streams, a packet repeated without end, damaged
// answers at lost contact and a bad argument.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

#include "tests/camera/CameraRig.h"
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>

namespace fp::test {
namespace {

using std::chrono::steady_clock;

// Every answer comes twice, 2 ms apart. The copy lands either while the listener is idle (a
// stale arrival for the next command) or inside the next command's wait (an answer to another
// command); neither may end a wait, so no attempt times out and nothing is sent twice, also in
// a recovery of a thousand packets. Which of the two a copy meets depends on the timing: a pass
// before each send takes whatever has come by then, a busy machine brings them in bursts.
TEST(NetworkFaults, AnswersDeliveredTwiceEndNoWait) {
  SimulatorOptions options;
  options.answer_twice_ms = 2;
  for (int i = 100; i < 1100; ++i) options.drop.push_back(i);
  CameraRig rig(40, options);
  ASSERT_TRUE(rig.Ready()) << rig.Error();
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));

  std::mt19937 random(7);
  constexpr int kCommands = 300;
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND)) << i;
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
  }
  Image image;
  ASSERT_TRUE(rig.Camera().SetRawDataBuffer(image.get()));
  ASSERT_TRUE(rig.Camera().SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND));
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  EXPECT_TRUE(rig.Camera().ReadMissing(image.get()));
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 1));
  EXPECT_TRUE(rig.Camera().Connected());
  rig.DeleteCamera();

  EXPECT_EQ(Count(rig.ErrLog(), "Timeout."), 0u);
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_IDENTIFY).size(),
            static_cast<std::size_t>(kCommands));
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size(), 1u);
  EXPECT_EQ(rig.Sim().Stats().retransmissions_served, 1000u);
  const std::string err = rig.ErrLog();
  EXPECT_GT(Count(err, "Unexpected packet (not a problem for a driver, but should not happen).\n") +
                Count(err, "Unexpected camera response.\nStill WAITING\n"),
            0u);
}

// The first answer to 0x08 is damaged while the camera already streams image 1. The repeat
// waits until the stream has gone quiet, so image 2 holds nothing of image 1.
TEST(NetworkFaults, DamagedStartAnswerMixesNoExposures) {
  SimulatorOptions options;
  options.damage.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_START_RAW});
  CameraRig rig(41, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_TRUE(rig.Camera().WaitForRawData());
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 2));
  const SimulatorStats stats = rig.Sim().Stats();
  EXPECT_EQ(stats.images_started, 2u);
  EXPECT_EQ(stats.images_interrupted, 0u);
  rig.DeleteCamera();
  EXPECT_TRUE(InOrder(rig.Log(), {"CEthCamera::SendCmd() (number field = 08000000):\nError in "
                                  "camera response.\n\n",
                                  "CEthCamera::SendCmd() (number field = 08000000):\nWaiting for "
                                  "the camera to fall silent before sending again.\n\n",
                                  "Socket is not expecting RAW data.\n",
                                  "CEthCamera::SendCmd() (number field = 08000000):\nOK.\n\n"}));
}

// A camera that goes on streaming after a damaged answer to 0x08 is not sent 0x08 again: after
// the drain's bound contact is given up.
TEST(NetworkFaults, CameraThatNeverFallsSilentIsGivenUp) {
  SimulatorOptions options;
  options.damage.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_START_RAW});
  options.rate_mbit = 20;  // an image takes 3.6 s
  CameraRig rig(42, options);
  Image image;
  EXPECT_FALSE(StartImage(rig, image));
  EXPECT_FALSE(rig.Camera().Connected());
  EXPECT_FALSE(rig.Camera().DataTaking());
  rig.DeleteCamera();
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size(), 1u);
  EXPECT_TRUE(InOrder(rig.ErrLog(),
                      {"CEthCamera::SendCmd() (number field = 08000000):\nCamera does not fall "
                       "silent, command not repeated.\n\n",
                       "CEthCamera::SendCmd():\nLost contact, closing connection.\n\n"}));
}

// Packet 0 comes again every millisecond for 3 s after a stream that lost packet 8247. The
// transfer ends about 100 ms after the last new packet all the same.
TEST(NetworkFaults, RepeatedPacketDoesNotHoldTheTransferOpen) {
  SimulatorOptions options;
  options.drop = {8247};
  options.repeat_index = 0;
  options.repeat_every_ms = 1;
  options.repeat_for_ms = 3000;
  CameraRig rig(43, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  const SimulatorStats stats = rig.Sim().Stats();
  EXPECT_GT(stats.raw_repeats_sent, 0u);
  EXPECT_LT(stats.raw_repeats_sent, 2000u) << "the transfer waited for the repeats to end";
  EXPECT_TRUE(rig.Camera().ReadMissing(image.get()));
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 1));
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.ErrLog(), "CEthCamera::BkgListener():\nRAW data timeout.\n\n"), 1u);
}

// Contact is lost on the listener thread after three damaged answers to the status request: the
// socket is closed all the same, so the camera can be opened again.
TEST(NetworkFaults, LostContactAfterDamagedAnswersFreesTheSocket) {
  SimulatorOptions options;
  options.drop = {8247};
  for (int i = 0; i < 3; ++i) {
    options.damage.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_TRANSFER_STATUS});
  }
  CameraRig rig(44, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  EXPECT_FALSE(rig.Camera().Connected());
  EXPECT_TRUE(rig.Camera().Close());
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
  EXPECT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.ErrLog(), "Socket still in use."), 0u);
  EXPECT_EQ(Count(rig.ErrLog(), "Error in camera response."), 3u);
}

// A TOP above 6 is the caller's mistake: refused before the socket, the connection stays.
TEST(NetworkFaults, BadTopIsRefusedWithoutClosingTheConnection) {
  CameraRig rig(45, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.Error();
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
  EXPECT_FALSE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, 7));
  EXPECT_TRUE(rig.Camera().Connected());
  EXPECT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));
  rig.DeleteCamera();
  EXPECT_EQ(rig.Sim().Stats().commands_received, 1u);
  EXPECT_EQ(rig.ErrLog(),
            "START LOGGING.\n\nCEthCamera::SendCmd() (number field = EF000000):\nTOP 7 not "
            "allowed (0 to 6), command not sent.\n\nSTOP LOGGING.\n\n");
}

}  // namespace
}  // namespace fp::test
