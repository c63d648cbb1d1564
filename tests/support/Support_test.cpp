#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace fp::test {
namespace {

using std::chrono::milliseconds;

TEST(TempDir, IsMadeFreshAndRemovedWithWhatItHolds) {
  std::string path;
  {
    TempDir dir("support_test");
    path = dir.Path();
    ASSERT_TRUE(std::filesystem::is_directory(path));
    EXPECT_TRUE(std::filesystem::is_empty(path));
    std::ofstream(dir.File("a.bin"), std::ios::binary) << std::string("x\0y\n", 4);
    EXPECT_EQ(ReadFile(dir.File("a.bin")), std::string("x\0y\n", 4));
    EXPECT_EQ(ReadFile(dir.File("missing")), "");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(WaitUntil, EndsOnceTheConditionHoldsOrTheTimeIsOut) {
  std::atomic<int> asked{0};
  EXPECT_TRUE(WaitUntil([&] { return ++asked == 3; }, milliseconds(5000), milliseconds(1)));
  EXPECT_EQ(asked.load(), 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitUntil([] { return false; }, milliseconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(30));
}

TEST(ChildProcess, GivesTheExitStatusAndTheOutputOfAProgram) {
  TempDir dir("support_test");
  const pid_t pid = Spawn({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, dir.Path(),
                          dir.File("out"), dir.File("err"));
  EXPECT_EQ(AwaitExit(pid, milliseconds(10000)), 3);
  EXPECT_EQ(ReadFile(dir.File("out")), "out\n");
  EXPECT_EQ(ReadFile(dir.File("err")), "err\n");
  EXPECT_EQ(AwaitExit(Spawn({"/bin/sleep", "10"}, dir.Path(), "/dev/null", "/dev/null"),
                      milliseconds(50)),
            -1);
}

}  // namespace
}  // namespace fp::test
