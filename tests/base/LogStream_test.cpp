#include "base/LogStream.h"

#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fp {
namespace {

TEST(LogStream, WritesNothingUntilOpenAndOpensOnce) {
  const test::TempDir dir("logstream");
  const std::string path = dir.File("once.txt");
  LogStream log;
  EXPECT_FALSE(log.IsOpen());
  log.Write("lost\n");
  ASSERT_TRUE(log.Open(path));
  EXPECT_TRUE(log.IsOpen());
  EXPECT_FALSE(log.Open(path));  // already open: nothing changes
  log.Write("kept\n");
  log.Close();
  EXPECT_FALSE(log.IsOpen());
  log.Write("after close\n");
  EXPECT_EQ(test::ReadFile(path), "kept\n");
}

TEST(LogStream, AppendsToAnExistingFile) {
  const test::TempDir dir("logstream");
  const std::string path = dir.File("append.txt");
  for (const char* run : {"run 1\n", "run 2\n"}) {
    LogStream log;
    ASSERT_TRUE(log.Open(path));
    log.Write(run);
  }
  EXPECT_EQ(test::ReadFile(path), "run 1\nrun 2\n");
}

TEST(LogStream, TextReachesTheFileInWholeBuffers) {
  const test::TempDir dir("logstream");
  const std::string path = dir.File("buffered.txt");
  LogStream log;
  ASSERT_TRUE(log.Open(path));
  // Log lines short of one buffer stay in memory; a buffer of 4 KiB would have written most.
  const std::string line(100, 'x');
  const std::size_t lines = LogStream::kBufferBytes / line.size() - 1;
  for (std::size_t i = 0; i < lines; ++i) log.Write(line.c_str(), line.size());
  EXPECT_EQ(test::ReadFile(path).size(), 0u);
  // The line that no longer fits sends the buffer on.
  log.Write(line.c_str(), line.size());
  log.Write(line.c_str(), line.size());
  EXPECT_GE(test::ReadFile(path).size(), lines * line.size());
  log.Flush();
  EXPECT_EQ(test::ReadFile(path).size(), (lines + 2) * line.size());
}

TEST(LogStream, FailsForAFileThatCannotBeCreated) {
  LogStream log;
  EXPECT_FALSE(log.Open("/nonexistent-dir/log.txt"));
  EXPECT_FALSE(log.IsOpen());
}

// A link at the log's name is followed only when asked to be.
TEST(LogStream, FollowsALinkAtItsNameOnlyWhenAllowed) {
  const test::TempDir dir("logstream");
  const std::string target = dir.File("target.txt");
  const std::string link = dir.File("link.txt");
  std::ofstream(target) << "precious\n";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  {
    LogStream refusing;
    EXPECT_FALSE(refusing.Open(link, LogStream::AtLink::kRefuse));
    LogStream following;
    ASSERT_TRUE(following.Open(link));
    following.Write("appended\n");
  }
  EXPECT_EQ(test::ReadFile(target), "precious\nappended\n");
}

// Every write that fails is noticed and the first is reported, once, with its errno: whether it
// fails while writing, flushing or closing.
TEST(LogStream, ReportsTheFirstFailedWriteOnce) {
  for (const bool close_only : {false, true}) {
    std::vector<std::pair<std::string, int>> reports;
    {
      LogStream log;
      log.SetFailureReport(
          [&reports](const std::string& file, int error) { reports.emplace_back(file, error); });
      ASSERT_TRUE(log.Open("/dev/full"));
      log.Write("a short text stays in the buffer until the stream closes\n");
      if (!close_only) {
        const std::string text(200 * 1024, 'x');
        log.Write(text.c_str(), text.size());
        log.Flush();
        log.Write(text.c_str(), text.size());
      }
    }
    ASSERT_EQ(reports.size(), 1u) << close_only;
    EXPECT_EQ(reports[0], std::make_pair(std::string("/dev/full"), ENOSPC));
  }
}

TEST(LogStream, TextsFromManyThreadsStayWhole) {
  const test::TempDir dir("logstream");
  const std::string path = dir.File("threads.txt");
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  {
    LogStream log;
    ASSERT_TRUE(log.Open(path));
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&log, t] {
        // Each text is several lines long and must land in one piece.
        const std::string text = "thread " + std::to_string(t) + ":\n" +
                                 std::string(200, char('a' + t)) + "\nend " + std::to_string(t) +
                                 "\n";
        for (int i = 0; i < kLines; ++i) log.Write(text.c_str());
      });
    }
    for (auto& w : writers) w.join();
  }
  std::istringstream in(test::ReadFile(path));
  std::string head, body, tail;
  int blocks = 0;
  while (std::getline(in, head)) {
    ASSERT_TRUE(std::getline(in, body));
    ASSERT_TRUE(std::getline(in, tail));
    const int t = head[7] - '0';
    ASSERT_EQ(head, "thread " + std::to_string(t) + ":");
    ASSERT_EQ(body, std::string(200, char('a' + t)));
    ASSERT_EQ(tail, "end " + std::to_string(t));
    ++blocks;
  }
  EXPECT_EQ(blocks, kThreads * kLines);
}

// Reachable until exit, so the leak checker does not count the stream that is never deleted.
LogStream* never_deleted = nullptr;

TEST(LogStream, TextReachesTheFileWhenTheProcessEndsWithoutDestroyingTheStream) {
  const test::TempDir dir("logstream");
  const std::string path = dir.File("exit.txt");
  EXPECT_EXIT(
      {
        never_deleted = new LogStream;  // as on the program's failed-open path
        if (!never_deleted->Open(path)) std::_Exit(3);
        never_deleted->Write("START LOGGING.\n\n");
        never_deleted->Write("written just before exit\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(test::ReadFile(path), "START LOGGING.\n\nwritten just before exit\n");
}

}  // namespace
}  // namespace fp
