// The pure parts of camsim --replay: which answer a command gets, which captures are refused,
// which packets a thinned replay sends and which flags go with --replay.
#include "nudp/NudpProtocol.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/PcapWriter.h"
#include "tools/camsim/ReplayAnswers.h"
#include "tools/camsim/SimulatorOptions.h"
#include "tools/camsim/StreamPlan.h"

#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace fp::test {
namespace {

// A command of TOP 0 and `number` as the capture shows it; `tag` marks its answer's first data
// byte, 0 for none.
CapturedCommand Sent(std::uint32_t number, std::uint8_t tag, std::uint8_t top = 0) {
  CapturedCommand c;
  c.top = top;
  c.number = number;
  if (tag != 0) {
    const NudpHeader h = BuildExpectedResponse(BuildCommandHeader(top, number));
    c.answer.assign(h.begin(), h.end());
    c.answer.push_back(tag);
  }
  return c;
}

TEST(ReplayAnswers, GivesEachImagesAnswersInTurnThenTheCapturesFirst) {
  const std::vector<CapturedCommand> capture = {
      // Before the first image.
      Sent(NUDP_CMD_BINNING_ON, 1), Sent(NUDP_CMD_IDENTIFY, 2),
      // Image 1: the status asked twice, a command never answered, the watchdog unanswered.
      Sent(NUDP_CMD_START_RAW, 3), Sent(NUDP_CMD_TRANSFER_STATUS, 4),
      Sent(NUDP_CMD_TRANSFER_STATUS, 5), Sent(0x77, 0), Sent(NUDP_CMD_REFRESH, 0),
      // Image 2.
      Sent(NUDP_CMD_START_RAW, 6), Sent(NUDP_CMD_TRANSFER_STATUS, 7), Sent(0x99, 8), Sent(0x77, 0)};
  struct Step {
    int start_image;  // -1: no StartImage before this step
    std::uint32_t number;
    ReplayAnswers::Source source;
    std::uint8_t tag;  // of the answer given, for kCapture
    std::uint8_t top = 0;
  };
  using S = ReplayAnswers::Source;
  const std::vector<Step> steps = {
      {0, NUDP_CMD_BINNING_ON, S::kCapture, 1},
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 4},  // none before image 1: the first
      {1, NUDP_CMD_START_RAW, S::kCapture, 3},
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 4},
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 5},
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 5},  // the last again
      {-1, 0x77, S::kNone, 0},
      {-1, NUDP_CMD_REFRESH, S::kCamsim, 0},  // unanswered, but a driver needs it
      {-1, 0x99, S::kCapture, 8},             // only image 2 shows it
      {-1, 0x1234, S::kCamsim, 0},            // never seen
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCamsim, 0, /*top=*/5},
      {-1, NUDP_CMD_IDENTIFY, S::kCapture, 2},
      {2, NUDP_CMD_START_RAW, S::kCapture, 6},
      {-1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 7},
      {1, NUDP_CMD_TRANSFER_STATUS, S::kCapture, 4},  // image 1 again: from its first
  };
  ReplayAnswers answers(capture);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    if (step.start_image >= 0) answers.StartImage(step.start_image);
    const ReplayAnswers::Found found = answers.Next(step.top, step.number);
    ASSERT_EQ(found.source, step.source);
    if (step.source != S::kCapture) {
      EXPECT_EQ(found.answer, nullptr);
      continue;
    }
    ASSERT_NE(found.answer, nullptr);
    ASSERT_EQ(found.answer->size(), NUDP_HEADER_LENGTH + 1);
    EXPECT_EQ(ReadNumberField(found.answer->data()), step.number);
    EXPECT_EQ(found.answer->back(), step.tag);
  }
}

// A capture written by camsim's own writer: each datagram a header alone.
void WriteCapture(const std::string& path,
                  const std::vector<std::pair<SimEndpoint, SimEndpoint>>& datagrams) {
  PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, error)) << error;
  const NudpHeader start = BuildCommandHeader(0, NUDP_CMD_START_RAW);
  for (const auto& [from, to] : datagrams) {
    writer.Record(from, to, std::chrono::system_clock::now(), start.data(), start.size());
  }
  ASSERT_TRUE(writer.Close());
}

TEST(CaptureReplay, RefusesWhatCannotBeReplayedInOneLine) {
  TempDir dir("replay_rules_test");
  const SimEndpoint host = At("10.0.0.1", 32100);
  const SimEndpoint a = At("10.0.0.2", 1234);
  const SimEndpoint b = At("10.0.0.3", 1234);
  WriteCapture(dir.File("two.pcap"), {{host, a}, {host, b}});
  WriteCapture(dir.File("other.pcap"), {{host, At("10.0.0.2", 5000)}});
  WriteCapture(dir.File("empty.pcap"), {});
  std::ofstream(dir.File("text.pcap")) << "not a capture\n";
  const struct {
    const char* file;
    const char* camera;
    const char* error;  // a part of it; empty when it is replayed
  } rows[] = {
      {"missing.pcap", "", "No such file"},
      {"text.pcap", "", "format"},
      {"other.pcap", "", "no NUDP traffic"},
      {"empty.pcap", "", "no NUDP traffic"},
      {"two.pcap", "", "2 cameras (10.0.0.2, 10.0.0.3): choose one with --replay-camera"},
      {"two.pcap", "10.0.0.4", "no traffic of camera 10.0.0.4 in it; it holds 10.0.0.2, 10.0.0.3"},
      {"two.pcap", "10.0.0.3", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + row.camera);
    CaptureReplay replay;
    std::string error;
    const bool loaded = replay.Load(dir.File(row.file), row.camera, error);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    if (*row.error == '\0') {
      EXPECT_TRUE(loaded) << error;
      EXPECT_EQ(replay.Camera(), row.camera);
      EXPECT_EQ(replay.Images(), 1);
      ASSERT_EQ(replay.Commands().size(), 1u);
      EXPECT_EQ(replay.Commands()[0].number, NUDP_CMD_START_RAW);
      continue;
    }
    EXPECT_FALSE(loaded);
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
  }
}

TEST(ThinStream, LeavesOutTheDropListAndASeededFractionOfTheCapturesStream) {
  std::vector<int> captured;
  for (int i = 0; i < 4000; ++i) captured.push_back(i);
  captured.push_back(7);  // a duplicate in the capture is sent twice
  SimulatorOptions o;
  EXPECT_EQ(ThinStream(o, 1, captured).size(), captured.size());
  o.drop = {7, 10, 11};
  const std::vector<std::size_t> dropped = ThinStream(o, 1, captured);
  ASSERT_EQ(dropped.size(), captured.size() - 4);
  for (const std::size_t at : dropped) {
    EXPECT_TRUE(captured[at] != 7 && captured[at] != 10 && captured[at] != 11) << captured[at];
  }
  o.drop.clear();
  o.loss = 0.1;
  o.seed = 3;
  const std::vector<std::size_t> lost = ThinStream(o, 1, captured);
  EXPECT_GT(lost.size(), 3500u);
  EXPECT_LT(lost.size(), 3700u);
  EXPECT_EQ(ThinStream(o, 1, captured), lost);
  EXPECT_NE(ThinStream(o, 2, captured), lost);
}

TEST(ReplayOptions, RefusesWhatTheCaptureDecidesAndTakesTheRest) {
  const struct {
    std::vector<std::string> args;
    const char* error;  // empty: parsed
  } rows[] = {
      {{"--replay", "c.pcap", "--pattern", "chart"}, "--pattern: not with --replay"},
      {{"--rate", "500", "--replay", "c.pcap"}, "--rate: not with --replay"},
      {{"--replay", "c.pcap", "--last-first"}, "--last-first: not with --replay"},
      {{"--replay", "c.pcap", "--unfinished"}, "--unfinished: not with --replay"},
      {{"--replay", "c.pcap", "--status-byte", "0"}, "--status-byte: not with --replay"},
      {{"--replay", "c.pcap", "--id", "x"}, "--id: not with --replay"},
      {{"--replay-camera", "10.0.0.2"}, "--replay-camera: needs --replay"},
      {{"--replay-speed", "2"}, "--replay-speed: needs --replay"},
      {{"--replay", "c.pcap", "--replay-speed", "0"}, "--replay-speed: needs a factor above 0"},
      {{"--replay", "c.pcap", "--replay-camera", "cam"}, "--replay-camera: needs the camera's"},
      {{"--replay", ""}, "--replay: needs a capture file"},
      {{"--replay", "c.pcap", "--replay-camera", "10.0.0.2", "--replay-speed=2.5", "--drop", "5",
        "--loss", "0.1", "--seed", "9", "--silent-cmd", "0xFC", "--pcap", "out.pcap"},
       ""},
  };
  for (const auto& row : rows) {
    SimulatorOptions o;
    std::string error;
    const ParseResult result = ParseSimulatorArgs(row.args, o, error);
    if (*row.error != '\0') {
      EXPECT_EQ(result, ParseResult::kError) << row.error;
      EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
      continue;
    }
    ASSERT_EQ(result, ParseResult::kRun) << error;
    EXPECT_EQ(o.replay_path, "c.pcap");
    EXPECT_EQ(o.replay_camera, "10.0.0.2");
    EXPECT_EQ(o.replay_speed, 2.5);
    EXPECT_EQ(o.drop, std::vector<int>{5});
    EXPECT_EQ(o.loss, 0.1);
    EXPECT_EQ(o.pcap_path, "out.pcap");
  }
  // Every refused flag is one camsim has.
  for (const char* flag : kNotWithReplay) {
    EXPECT_NE(SimulatorUsage().find(std::string("  ") + flag + " "), std::string::npos) << flag;
  }
}

}  // namespace
}  // namespace fp::test
