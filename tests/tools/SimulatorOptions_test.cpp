#include "tools/camsim/SimulatorOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fp {
namespace {

ParseResult Parse(const std::vector<std::string>& args, SimulatorOptions& o, std::string& error) {
  return ParseSimulatorArgs(args, o, error);
}

TEST(SimulatorOptions, DefaultsAreLoopbackPort1234AtLineRate) {
  SimulatorOptions o;
  std::string error;
  ASSERT_EQ(Parse({}, o, error), ParseResult::kRun);
  EXPECT_EQ(o.bind_address, "127.0.0.1");
  EXPECT_EQ(o.port, 1234);
  EXPECT_EQ(o.rate_mbit, 1000.0);
  EXPECT_LE(o.id_text.size(), kMaxIdTextLength);
  EXPECT_FALSE(o.id_text.empty());
}

TEST(SimulatorOptions, EveryFlagSetsItsField) {
  SimulatorOptions o;
  o.trace = true;
  std::string error;
  ASSERT_EQ(Parse({"--bind",
                   "127.2.0.1",
                   "--port=4321",
                   "--id",
                   "cam",
                   "--rate",
                   "0",
                   "--drop",
                   "5,8247,100-102",
                   "--loss",
                   "0.25",
                   "--seed",
                   "42",
                   "--duplicate",
                   "0.5",
                   "--reorder",
                   "8",
                   "--last-first",
                   "--stop-after",
                   "10",
                   "--unfinished",
                   "--silent",
                   "--silent-cmd",
                   "0xFC",
                   "--damage",
                   "retransmit",
                   "--damage",
                   "0x105",
                   "--answer-after-stream",
                   "--answer-twice",
                   "2.5",
                   "--forge",
                   "4000-4002,9",
                   "--bad-packet",
                   "7,0,100",
                   "--bad-packet=9,1,2",
                   "--lose-answer",
                   "0x08",
                   "--start-delay",
                   "150",
                   "--restart-after-fetches",
                   "40",
                   "--short-retransmit",
                   "0",
                   "--short-retransmit",
                   "512",
                   "--repeat-packet",
                   "7,1,3000",
                   "--exit-after",
                   "1.5",
                   "--pcap",
                   "out.pcap",
                   "--quiet"},
                  o, error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(o.bind_address, "127.2.0.1");
  EXPECT_EQ(o.port, 4321);
  EXPECT_EQ(o.id_text, "cam");
  EXPECT_EQ(o.rate_mbit, 0.0);
  EXPECT_EQ(o.drop, (std::vector<int>{5, 100, 101, 102, 8247}));
  EXPECT_EQ(o.loss, 0.25);
  EXPECT_EQ(o.seed, 42u);
  EXPECT_EQ(o.duplicate, 0.5);
  EXPECT_EQ(o.reorder, 8);
  EXPECT_TRUE(o.last_first);
  EXPECT_EQ(o.stop_after, 10);
  EXPECT_TRUE(o.unfinished);
  EXPECT_TRUE(o.silent);
  ASSERT_EQ(o.silent_cmd.size(), 1u);
  EXPECT_TRUE(o.silent_cmd[0].Matches(0, 0xFC));
  ASSERT_EQ(o.damage.size(), 2u);
  EXPECT_TRUE(o.damage[0].retransmit);
  EXPECT_EQ(o.damage[1].code, 0x105u);
  EXPECT_TRUE(o.answer_after_stream);
  EXPECT_EQ(o.answer_twice_ms, 2.5);
  EXPECT_EQ(o.forge, (std::vector<int>{9, 4000, 4001, 4002}));
  ASSERT_EQ(o.bad_packets.size(), 2u);
  EXPECT_EQ(o.bad_packets[0].index, 7);
  EXPECT_EQ(o.bad_packets[0].words, 0u);
  EXPECT_EQ(o.bad_packets[0].length, 100u);
  EXPECT_EQ(o.bad_packets[1].words, 1u);
  EXPECT_EQ(o.bad_packets[1].length, 2u);
  ASSERT_EQ(o.lose_answer.size(), 1u);
  EXPECT_TRUE(o.lose_answer[0].Matches(0, 0x08));
  EXPECT_EQ(o.start_delay_ms, 150.0);
  EXPECT_EQ(o.restart_after_fetches, 40u);
  EXPECT_EQ(o.short_retransmit, (std::vector<std::size_t>{0, 512}));
  EXPECT_EQ(o.repeat_index, 7);
  EXPECT_EQ(o.repeat_every_ms, 1.0);
  EXPECT_EQ(o.repeat_for_ms, 3000.0);
  EXPECT_EQ(o.exit_after_seconds, 1.5);
  EXPECT_EQ(o.pcap_path, "out.pcap");
  EXPECT_FALSE(o.trace);
}

TEST(SimulatorOptions, RejectsBadValuesWithAReason) {
  const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                     {"--port", "0"},
                                                     {"--port", "70000"},
                                                     {"--bind", "host"},
                                                     {"--rate", "-1"},
                                                     {"--rate", "fast"},
                                                     {"--drop", "8248"},
                                                     {"--drop", "9-3"},
                                                     {"--drop", "1,,2"},
                                                     {"--loss", "1.5"},
                                                     {"--duplicate", "-0.1"},
                                                     {"--seed", "-3"},
                                                     {"--reorder", "x"},
                                                     {"--stop-after", "9000"},
                                                     {"--silent-cmd", "fc"},
                                                     {"--damage"},
                                                     {"--exit-after", "0"},
                                                     {"--id", "1234567890123456789012"},
                                                     {"--answer-twice", "0"},
                                                     {"--repeat-packet", "1,2"},
                                                     {"--repeat-packet", "8248,1,1"},
                                                     {"--repeat-packet", "1,0,5"},
                                                     {"--forge", "8248"},
                                                     {"--bad-packet", "7,0"},
                                                     {"--bad-packet", "7,512,2"},
                                                     {"--bad-packet", "7,0,1025"},
                                                     {"--bad-packet", "7,0,1024"},
                                                     {"--lose-answer", "x"},
                                                     {"--start-delay", "0"},
                                                     {"--short-retransmit", "1024"},
                                                     {"stray"}};
  for (const auto& args : bad) {
    SimulatorOptions o;
    std::string error;
    EXPECT_EQ(Parse(args, o, error), ParseResult::kError) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(SimulatorOptions, PcapNeedsAFileName) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--pcap="}, std::vector<std::string>{"--pcap"}}) {
    SimulatorOptions o;
    std::string error;
    EXPECT_EQ(Parse(args, o, error), ParseResult::kError) << args[0];
    EXPECT_TRUE(error.starts_with("--pcap")) << error;
    EXPECT_EQ(o.pcap_path, "");
  }
}

TEST(SimulatorOptions, FlagsWithoutValueSayThatTheyTakeNone) {
  for (const char* flag : {"--quiet=1", "--last-first=yes", "--unfinished=", "--silent=0",
                           "--answer-after-stream=1", "--help=x", "--version=2"}) {
    SimulatorOptions o;
    std::string error;
    EXPECT_EQ(Parse({flag}, o, error), ParseResult::kError) << flag;
    const std::string name = std::string(flag).substr(0, std::string(flag).find('='));
    EXPECT_EQ(error, name + ": takes no value") << flag;
  }
}

// The forms of the command line and the one line each refusal gives, by exact text.
TEST(SimulatorOptions, CommandLineFormsAndTheirExactErrors) {
  struct Case {
    std::vector<std::string> args;
    ParseResult result;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--port=0"}, ParseResult::kError, "--port: needs a port 1 to 65535"},
      {{"--port"}, ParseResult::kError, "--port: missing value or unknown flag"},
      {{"--port="}, ParseResult::kError, "--port: needs a port 1 to 65535"},
      {{"--id=", "--quiet"}, ParseResult::kRun, ""},
      {{"--id", "--quiet"}, ParseResult::kRun, ""},
      {{"--rate", "-1"}, ParseResult::kError, "--rate: needs Mbit/s, 0 or more"},
      {{"--bogus", "1"}, ParseResult::kError, "unknown flag '--bogus' (see --help)"},
      {{"--bogus=1"}, ParseResult::kError, "unknown flag '--bogus' (see --help)"},
      {{"--port", "5", "stray"}, ParseResult::kError, "unexpected argument 'stray'"},
      {{"--port", "0", "--loss", "2"}, ParseResult::kError, "--port: needs a port 1 to 65535"},
      {{"--help", "--port", "0"}, ParseResult::kHelp, ""},
      {{"-h"}, ParseResult::kHelp, ""},
      {{"--version", "--bogus"}, ParseResult::kVersion, ""},
  };
  for (const Case& c : cases) {
    SimulatorOptions o;
    std::string error;
    EXPECT_EQ(Parse(c.args, o, error), c.result) << c.args[0];
    EXPECT_EQ(error, c.error) << c.args[0];
  }
  // Given twice, a value replaces the first; a list adds to it.
  SimulatorOptions o;
  std::string error;
  ASSERT_EQ(Parse({"--rate", "5", "--rate=7", "--drop", "9", "--drop=3-4", "--id="}, o, error),
            ParseResult::kRun);
  EXPECT_EQ(o.rate_mbit, 7.0);
  EXPECT_EQ(o.drop, (std::vector<int>{3, 4, 9}));
  EXPECT_EQ(o.id_text, "");
}

TEST(SimulatorOptions, HelpIsRecognisedAndDocumentsEveryFlag) {
  SimulatorOptions o;
  std::string error;
  EXPECT_EQ(Parse({"--rate", "5", "--help"}, o, error), ParseResult::kHelp);
  EXPECT_EQ(Parse({"--rate", "5", "--version"}, o, error), ParseResult::kVersion);
  const std::string usage = SimulatorUsage();
  for (const char* flag : {"--bind",        "--port",
                           "--id",          "--rate",
                           "--drop",        "--loss",
                           "--seed",        "--duplicate",
                           "--reorder",     "--last-first",
                           "--stop-after",  "--unfinished",
                           "--silent ",     "--silent-cmd",
                           "--damage",      "--answer-after-stream",
                           "--exit-after",  "--pcap",
                           "--quiet",       "--help",
                           "--version",     "--forge",
                           "--bad-packet",  "--lose-answer",
                           "--start-delay", "--short-retransmit"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
  }
  EXPECT_NE(usage.find("Mbit/s on the wire"), std::string::npos);
}

TEST(CommandMatch, SmallCodesMatchTheLowByteLargeOnesTheWholeField) {
  const CommandMatch start{/*retransmit=*/false, /*code=*/0x08};
  EXPECT_TRUE(start.Matches(0, 0x08));
  EXPECT_TRUE(start.Matches(0, 0x1208));
  EXPECT_FALSE(start.Matches(6, 0x08));
  const CommandMatch binning{/*retransmit=*/false, /*code=*/0x105};
  EXPECT_TRUE(binning.Matches(0, 0x105));
  EXPECT_FALSE(binning.Matches(0, 0x05));
  const CommandMatch resend{/*retransmit=*/true, /*code=*/0};
  EXPECT_TRUE(resend.Matches(6, 0x1F600));
  EXPECT_FALSE(resend.Matches(0, 0));
}

}  // namespace
}  // namespace fp
