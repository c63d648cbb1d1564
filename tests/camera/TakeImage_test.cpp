// CEthCamera::TakeImage, the step that the library and framegrab take each image with: what it
// reports of a stream and its recovery, when it runs on_started, and how its stop flag ends it.

#include "camera/CEthCamera.h"

#include "tests/camera/CameraRig.h"
#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <string>
#include <vector>

namespace fp::test {
namespace {

std::span<std::uint8_t> Whole(Image& image) { return {image.get(), RAW_IMAGE_SIZE}; }

const std::vector<RawPacketRange> kEveryPacket = {RawPacketRange{0, RAW_LAST_PACKET_INDEX}};

TEST(TakeImage, FiguresFollowFromTheStreamAndTheRanges) {
  struct Case {
    int stream_packets;
    std::vector<RawPacketRange> missing;
    int lost;
    int missing_packets;
    int fetched_again;
  };
  const Case cases[] = {
      {RAW_PACKETS_PER_IMAGE, {}, 0, 0, 0},
      {RAW_PACKETS_PER_IMAGE - 4, {}, 4, 0, 4},
      {RAW_PACKETS_PER_IMAGE - 4, {{5, 5}, {100, 101}}, 4, 3, 1},
      {0, kEveryPacket, RAW_PACKETS_PER_IMAGE, RAW_PACKETS_PER_IMAGE, 0},
  };
  for (const Case& c : cases) {
    TakenImage taken;
    taken.stream_packets = c.stream_packets;
    taken.missing = c.missing;
    EXPECT_EQ(taken.LostPackets(), c.lost);
    EXPECT_EQ(taken.MissingPackets(), c.missing_packets);
    EXPECT_EQ(taken.FetchedAgainPackets(), c.fetched_again);
  }
}

// The packets from the stream are those of the stream the image was completed from, looked at
// once recovery is over: a camera that starts its next image during recovery leaves none of
// the first stream's in the image.
TEST(TakeImage, ReportsWhatTheStreamLostAndWhatRecoveryLeftMissing) {
  struct Case {
    const char* name;
    SimulatorOptions options;
    bool complete;
    std::uint32_t exposure;  // the camera's image the buffer holds, when complete
    int stream_packets;
    std::vector<RawPacketRange> lost;
    std::vector<RawPacketRange> missing;
    std::uint64_t restarts;
  };
  const int all = RAW_PACKETS_PER_IMAGE;
  std::vector<Case> cases = {
      {"a whole stream", {}, true, 1, all, {}, {}, 0},
      {"packets 5, 100-102 lost", {}, true, 1, all - 4, {{5, 5}, {100, 102}}, {}, 0},
      {"a stream cut short", {}, true, 1, 8000, {{8000, RAW_LAST_PACKET_INDEX}}, {}, 0},
      {"retransmissions that keep coming short", {}, false, 0, all - 1, {{5, 5}}, {{5, 5}}, 0},
      // After 50 of the 1000 lost packets were fetched, the camera streams its next image by
      // itself (while recovery surely goes on, even on a loaded machine); the image is fetched
      // again whole, from that exposure.
      {"the next image streamed during recovery", {}, true, 2, 0, kEveryPacket, {}, 1},
  };
  cases[1].options.drop = {5, 100, 101, 102};
  cases[2].options.stop_after = 8000;
  cases[3].options.drop = {5};
  cases[3].options.short_retransmit = {0, 512, 1023};
  for (int i = 100; i < 1100; ++i) cases[4].options.drop.push_back(i);
  cases[4].options.restart_after_fetches = 50;
  ForEachOpenedRig(cases, 90, [](const Case& c, CameraRig& rig) {
    Image image;
    const TakenImage taken = rig.Camera().TakeImage(Whole(image));
    EXPECT_EQ(taken.start, TakenImage::Start::kStarted);
    EXPECT_EQ(taken.complete, c.complete);
    EXPECT_FALSE(taken.stopped);
    EXPECT_EQ(taken.stream_packets, c.stream_packets);
    EXPECT_EQ(taken.lost, c.lost);
    EXPECT_EQ(taken.missing, c.missing);
    if (c.complete) {
      EXPECT_TRUE(ImageMatchesPattern(image.get(), c.exposure));
    }
    EXPECT_EQ(taken.transfer.socket.restarts, c.restarts);
    // Recovery runs, and is timed, when the stream lost something.
    EXPECT_EQ(taken.recovery_ms > 0.0, !c.lost.empty());
    EXPECT_GE(taken.image_ms, taken.recovery_ms);
    if (c.restarts == 0) {
      EXPECT_EQ(taken.transfer.camera.fetched_again,
                static_cast<std::uint64_t>(taken.FetchedAgainPackets()));
    }
    EXPECT_TRUE(rig.Camera().Connected());
  });
}

// on_started runs once, after the camera answered the 0x08 (every 0x08 has been sent by then),
// and not at all for an image that did not start; an image that did not start reports every
// packet lost and missing.
TEST(TakeImage, OnStartedRunsOnceTheStartIsAnswered) {
  struct Case {
    const char* name;
    SimulatorOptions options;
    bool stop_before;
    std::size_t buffer_bytes;
    TakenImage::Start start;
    int calls;
    std::size_t starts_sent;  // 0x08 commands the camera got
  };
  using Start = TakenImage::Start;
  const std::size_t size = RAW_IMAGE_SIZE;
  std::vector<Case> cases = {
      {"a camera that answers at once", {}, false, size, Start::kStarted, 1, 1},
      // Sent again after 100 ms; the late answer to the first ends the wait.
      {"a camera slow to answer", {}, false, size, Start::kStarted, 1, 2},
      {"a camera that never answers 0x08", {}, false, size, Start::kNotAnswered, 0, 3},
      {"the stop flag set before", {}, true, size, Start::kStopped, 0, 0},
      {"a buffer of another size", {}, false, size - 1, Start::kBufferRefused, 0, 0},
  };
  cases[1].options.start_delay_ms = 150;
  cases[2].options.silent_cmd = {CommandMatch{/*retransmit=*/false, NUDP_CMD_START_RAW}};
  ForEachOpenedRig(cases, 95, [](const Case& c, CameraRig& rig) {
    Image image;
    const std::atomic<bool> stop{c.stop_before};
    int calls = 0;
    std::size_t starts_at_call = 0;
    std::uint64_t answers_at_call = 0;
    const TakenImage taken = rig.Camera().TakeImage({image.get(), c.buffer_bytes}, &stop, [&] {
      ++calls;
      starts_at_call = rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size();
      answers_at_call = rig.Camera().Counters().last_transfer.socket.matched_answers;
    });
    EXPECT_EQ(taken.start, c.start);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW).size(), c.starts_sent);
    EXPECT_EQ(taken.stopped, c.stop_before);
    if (taken.Started()) {
      EXPECT_EQ(starts_at_call, c.starts_sent);
      EXPECT_EQ(answers_at_call, 1u);
      EXPECT_TRUE(taken.complete);
    } else {
      EXPECT_FALSE(taken.complete);
      EXPECT_EQ(taken.stream_packets, 0);
      EXPECT_EQ(taken.lost, kEveryPacket);
      EXPECT_EQ(taken.missing, kEveryPacket);
    }
  });
}

// A stop set once the image has started ends its transfer at the listener's next pass: the
// packets the stream brought stay, nothing is fetched again, and the result says stopped.
TEST(TakeImage, StopDuringTheTransferEndsItWithoutRecovery) {
  SimulatorOptions options;
  options.rate_mbit = 20;  // an image takes 3.6 s
  CameraRig rig(100, options);
  ASSERT_TRUE(rig.OpenCamera());
  Image image;
  std::atomic<bool> stop{false};
  const TakenImage taken =
      rig.Camera().TakeImage(Whole(image), &stop, [&stop] { stop.store(true); });
  EXPECT_TRUE(taken.Started());
  EXPECT_TRUE(taken.stopped);
  EXPECT_FALSE(taken.complete);
  EXPECT_LT(taken.stream_packets, RAW_PACKETS_PER_IMAGE);
  EXPECT_EQ(taken.missing, taken.lost);
  EXPECT_EQ(taken.recovery_ms, 0.0);
  EXPECT_EQ(taken.transfer.camera.retransmission_requests, 0u);
  EXPECT_TRUE(rig.RetransmissionRequests().empty());
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.ErrLog(), "CEthCamera::BkgListener():\nTransfer stopped by the caller.\n\n"),
            1u);
}

}  // namespace
}  // namespace fp::test
