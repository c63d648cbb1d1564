// The driver against cameras and networks that misbehave: answers delivered twice, a damaged
// answer to the start command while the camera streams, a camera slow to answer it, a lost
// answer, packets out of shape, forged copies, a packet repeated without end, damaged answers
// at lost contact and a bad argument.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"

#include "tests/camera/CameraRig.h"
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

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
  ASSERT_TRUE(rig.OpenCamera());

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

// The exposure (image number, 1 to `last`) whose every byte `image` holds; 0 when none does.
std::uint32_t ExposureOf(Image& image, std::uint32_t last) {
  for (std::uint32_t k = 1; k <= last; ++k) {
    if (ImageMatchesPattern(image.get(), k)) return k;
  }
  return 0;
}

// A camera that answers 0x08 late and starts an exposure for every 0x08 it gets, its image
// following its answer. The driver sends 0x08 again after 100 ms; the late answer to the first
// ends the repeat's wait, and the answer to each repeat that comes during the transfer restarts
// the image. Whatever the timing, the image is one exposure's, the last one the transfer saw.
TEST(NetworkFaults, SlowAnswerToTheStartMixesNoExposures) {
  struct Case {
    const char* name;
    double delay_ms;
    double rate_mbit;
    std::size_t starts;  // 0x08 commands sent
  };
  const Case cases[] = {
      {"answer after 150 ms, image of 730 ms", 150, 100, 2},
      {"answer after 300 ms, image of 730 ms", 300, 100, 3},
      // The first image is whole before the answer to the repeat comes.
      {"answer after 150 ms, image of 73 ms", 150, 1000, 2},
  };
  int net = 50;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatorOptions options;
    options.start_delay_ms = c.delay_ms;
    options.rate_mbit = c.rate_mbit;
    CameraRig rig(net++, options);
    Image image;
    const auto start = steady_clock::now();
    ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
    EXPECT_TRUE(rig.Camera().WaitForRawData());
    const double ms =
        std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
    const std::uint32_t exposure = ExposureOf(image, static_cast<std::uint32_t>(c.starts));
    EXPECT_NE(exposure, 0u) << "the image mixes exposures";
    EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size(), c.starts);
    rig.DeleteCamera();
    const std::size_t restarts =
        Count(rig.ErrLog(),
              "Answer to a repeated 0x08 command: the camera started its image again, the "
              "packets stored before are dropped.\n");
    EXPECT_EQ(exposure, 1 + restarts);
    if (c.rate_mbit < 1000) {
      EXPECT_EQ(restarts, c.starts - 1);
    }
    std::printf("%s: exposure %u of %zu, %.0f ms from 0x08 to the whole image\n", c.name, exposure,
                c.starts, ms);
  }
}

// The answer to 0x08 is lost, and the image streams all the same: the data stand for the
// answer. Sending 0x08 again would start another exposure.
TEST(NetworkFaults, StartWhoseAnswerIsLostIsTakenAsStartedByItsData) {
  SimulatorOptions options;
  options.lose_answer.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_START_RAW});
  CameraRig rig(53, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_TRUE(rig.Camera().WaitForRawData());
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 1));
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size(), 1u);
  rig.DeleteCamera();
  EXPECT_TRUE(InOrder(rig.Log(), {"CEthCamera::SendCmd() (number field = 08000000):\nTimeout.\n\n",
                                  "CEthCamera::SendCmd() (0x08 command):\nNo answer, but RAW data "
                                  "came: taken as started.\n\n",
                                  "CEthCamera::SendCmd() (0x08 command):\nWarning: transfer has "
                                  "finished before camera answer!\n(image received)\n\n"}))
      << rig.Log().substr(0, 3000);
}

// Packets that do not fill their place, and retransmissions that come short, are never counted
// as there: the image is reported incomplete, and recovery asks again until a whole packet
// comes, or fails after as many attempts as a command gets.
TEST(NetworkFaults, PacketsAndRetransmissionsOutOfShapeAreNotStored) {
  struct Case {
    const char* name;
    std::vector<int> drop;
    std::vector<BadPacket> bad;
    std::vector<std::size_t> short_answers;
    std::int32_t stream_count;
    bool recovered;
    std::vector<std::uint32_t> requests;
    std::vector<std::string> errors;  // in this order in log_err.txt
  };
  const auto refetched = [](int packet, const char* offset, int bytes) {
    return "CEthCamera::ReadMissing():\nPacket #" + std::to_string(packet) + " (offset=" + offset +
           ") retransmitted with " + std::to_string(bytes) + " bytes of data, not stored.\n\n";
  };
  const Case cases[] = {
      {"a short packet and one off its boundary; two short answers, then whole ones",
       {},
       {BadPacket{7, 0, 100}, BadPacket{9, 1, 2}},
       {0, 512},
       RAW_PACKETS_PER_IMAGE - 2,
       true,
       {3584, 3584, 3584, 4608},
       {"RAW data packet #7 (offset=1C00, length=100) does not fill its place, dropped.\n\n",
        "RAW data packet #9 (offset=2402, length=2) does not fill its place, dropped.\n\n",
        refetched(7, "1C00", 0), refetched(7, "1C00", 512),
        "CEthCamera::ReadMissing():\nPacket #7 retransmitted.\n\n",
        "CEthCamera::ReadMissing():\nPacket #9 retransmitted.\n\n"}},
      {"answers that keep coming short",
       {5},
       {},
       {0, 512, 1023},
       RAW_PACKETS_PER_IMAGE - 1,
       false,
       {2560, 2560, 2560},
       {refetched(5, "1400", 0), refetched(5, "1400", 512), refetched(5, "1400", 1023),
        "CEthCamera::ReadMissing():\nCannot retransmit packet #5.\n\n"}},
  };
  int net = 54;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatorOptions options;
    options.drop = c.drop;
    options.bad_packets = c.bad;
    options.short_retransmit = c.short_answers;
    CameraRig rig(net++, options);
    Image image;
    ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
    EXPECT_FALSE(rig.Camera().WaitForRawData());
    EXPECT_EQ(rig.Camera().Nudp().RawCount(), c.stream_count);
    EXPECT_EQ(rig.Camera().ReadMissing(image.get()), c.recovered);
    EXPECT_EQ(ImageMatchesPattern(image.get(), 1), c.recovered);
    // A camera that answers is still there: the connection stays.
    EXPECT_TRUE(rig.Camera().Connected());
    EXPECT_EQ(rig.RetransmissionRequests(), c.requests);
    rig.DeleteCamera();
    EXPECT_TRUE(InOrder(rig.ErrLog(), c.errors)) << rig.ErrLog();
    EXPECT_EQ(Count(rig.ErrLog(), "CEthCamera::ReadMissing():\n"), c.errors.size() - c.bad.size());
  }
}

// A sender that uses the camera's address and port sends its own data for packets 4000-4009
// ahead of the camera's. Which copy is genuine cannot be told, but that they differ can: each
// such packet counts as missing and is fetched from the camera.
TEST(NetworkFaults, ForgedCopiesAreConflictsFetchedAgain) {
  SimulatorOptions options;
  for (int i = 4000; i < 4010; ++i) options.forge.push_back(i);
  CameraRig rig(56, options);
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  EXPECT_EQ(rig.Camera().Nudp().RawCount(), RAW_PACKETS_PER_IMAGE - 10);
  EXPECT_TRUE(rig.Camera().ReadMissing(image.get()));
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 1));
  std::vector<std::string> conflicts;
  std::vector<std::uint32_t> expected_requests;
  for (int i = 4000; i < 4010; ++i) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "RAW data packet #%d (offset=%X) duplicated with other data: counted as "
                  "missing.\n",
                  i, i * 1024);
    conflicts.push_back(line);
    expected_requests.push_back(RawNumberField(i));
  }
  EXPECT_EQ(rig.RetransmissionRequests(), expected_requests);
  rig.DeleteCamera();
  EXPECT_TRUE(InOrder(rig.ErrLog(), conflicts)) << rig.ErrLog().substr(0, 3000);
  EXPECT_EQ(Count(rig.ErrLog(), "duplicated with other data"), 10u);
}

// The buffer goes with one image: a 0x08 sent without handing one over again stores nothing,
// is logged, and its image is not reported complete.
TEST(NetworkFaults, NoImageWithoutItsBuffer) {
  CameraRig rig(57, SimulatorOptions{});
  Image image;
  ASSERT_TRUE(StartImage(rig, image)) << rig.Error();
  EXPECT_TRUE(rig.Camera().WaitForRawData());
  EXPECT_TRUE(rig.Camera().SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND));
  EXPECT_FALSE(rig.Camera().WaitForRawData());
  EXPECT_TRUE(rig.Sim().WaitForStreamsEnded(2, milliseconds(2000)));
  EXPECT_TRUE(ImageMatchesPattern(image.get(), 1));  // the first image's buffer is left alone
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.ErrLog(),
                  "CEthCamera::SendCmd() (0x08 command):\nNo RAW data buffer set: "
                  "the image will not be stored.\n\n"),
            1u);
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

// Takes one image the way a program does (the driver's TakeImage: buffer, 0x08, wait, recovery
// when something is missing). True when the driver reports it complete.
bool TakeImage(CameraRig& rig, Image& image, const std::atomic<bool>* stop = nullptr) {
  return rig.Camera().TakeImage({image.get(), RAW_IMAGE_SIZE}, stop).complete;
}

// Every image reported complete holds one exposure's bytes, whatever the camera does around its
// 0x08 and its recovery. The camsim faults: the last packet of each image sent again and again
// after its stream, until well after the next 0x08 (a stale copy is stored first and ends the
// next transfer at once); an answer to a repeated 0x08 that comes while the lost packets are
// fetched again (its exposure must be taken whole); a camera that starts its next image by
// itself in the middle of a recovery.
TEST(NetworkFaults, ImagesReportedCompleteHoldOneExposure) {
  struct Case {
    const char* name;
    SimulatorOptions options;
    int images;
    const char* line;  // in log_err.txt, saying what happened
  };
  std::vector<Case> cases(3);
  cases[0] = {"a stale copy of the last packet in flight",
              {},
              3,
              "RAW data packet #8247 (offset=80DC00) duplicated with other data: counted as "
              "missing.\n"};
  cases[0].options.repeat_index = RAW_LAST_PACKET_INDEX;
  cases[0].options.repeat_every_ms = 0.5;
  cases[0].options.repeat_for_ms = 100000;
  cases[0].options.start_delay_ms = 1;
  // The answers come 100 ms apart: during recovery here, during the transfer on a slow machine.
  // 6000 packets to fetch again keep the recovery going past the next answer on a fast one.
  cases[1] = {"an answer to a repeated 0x08 during recovery",
              {},
              1,
              "Answer to a repeated 0x08 command: the camera started its image again, the packets "
              "stored before are dropped.\n"};
  cases[1].options.start_delay_ms = 300;
  for (int i = 1000; i < 7000; ++i) cases[1].options.drop.push_back(i);
  cases[2] = {"a camera that starts its next image during recovery",
              {},
              1,
              "came after its transfer with other data: the camera streams without a 0x08 "
              "command, the packets stored are dropped and the image is fetched again.\n"};
  // 950 packets still to fetch when the camera streams again: its stream surely comes while
  // recovery goes on, even on a loaded machine.
  for (int i = 100; i < 1100; ++i) cases[2].options.drop.push_back(i);
  cases[2].options.restart_after_fetches = 50;
  ForEachOpenedRig(cases, 60, [](const Case& c, CameraRig& rig) {
    std::uint32_t last = 0;
    for (int i = 0; i < c.images; ++i) {
      Image image;
      EXPECT_TRUE(TakeImage(rig, image)) << i;
      const auto started = static_cast<std::uint32_t>(rig.Sim().Stats().images_started);
      const std::uint32_t exposure = ExposureOf(image, started);
      EXPECT_NE(exposure, 0u) << "image " << i << " mixes exposures";
      EXPECT_GT(exposure, last);
      last = exposure;
    }
    rig.DeleteCamera();
    EXPECT_GE(Count(rig.ErrLog(), c.line), 1u) << rig.ErrLog().substr(0, 4000);
  });
}

// A grab stopped in the middle of its stream leaves the rest of that stream on its way; a camera
// that takes 50 ms to start the next image goes on sending it meanwhile. The next 0x08 goes out
// only once the camera has been silent for a while, so nothing of the stopped exposure lands in
// the next image, not even where the next stream loses its own copy.
TEST(NetworkFaults, WhatAStoppedImageLeftInFlightStaysOutOfTheNext) {
  SimulatorOptions options;
  options.loss = 0.05;
  options.rate_mbit = 200;  // an image takes 360 ms
  options.start_delay_ms = 50;
  CameraRig rig(63, options);
  ASSERT_TRUE(rig.OpenCamera());
  Image stopped;
  std::atomic<bool> stop{false};
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(milliseconds(100));
    stop.store(true);
  });
  EXPECT_FALSE(TakeImage(rig, stopped, &stop));
  stopper.join();
  Image next;
  EXPECT_TRUE(TakeImage(rig, next));
  EXPECT_TRUE(ImageMatchesPattern(next.get(), 2));
  rig.DeleteCamera();
  EXPECT_TRUE(InOrder(rig.Log(), {"CEthCamera::BkgListener():\nTransfer stopped by the caller.\n\n",
                                  "CEthCamera::SendCmd() (0x08 command):\nThe stream of the image "
                                  "before may still run: waiting for the camera to fall "
                                  "silent.\n\n",
                                  "datagrams drained in "}));
}

// A TOP above 6 is the caller's mistake: refused before the socket, the connection stays.
TEST(NetworkFaults, BadTopIsRefusedWithoutClosingTheConnection) {
  CameraRig rig(45, SimulatorOptions{});
  ASSERT_TRUE(rig.OpenCamera());
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
