#include "framegrab/StationRun.h"
#include "framegrab/model/RunModel.h"
#include <gtest/gtest.h>

namespace fp::test {
namespace {

// What a station is warned of before its run: a line for each limit its cameras go past.
TEST(StationWarnings, ALineForEachLimitTheCamerasGoPast) {
  const long long enough = kImageReceiveBufferBytes;
  struct Case {
    std::size_t cameras;
    unsigned cores;
    long long rmem_max;
    std::vector<std::string> starts;  // of each line
  };
  const std::vector<Case> cases = {
      {2, 2, enough, {}},
      {3, 4, -1, {}},  // the cap unknown, or lifted for the driver
      {3, 2, enough, {"3 cameras on 2 processor cores: "}},
      {2, 0, enough, {}},  // the cores unknown
      {2,
       8,
       4194304,
       {"the kernel caps a socket's receive buffer at 4194304 bytes (net.core.rmem_max), below "
        "the " +
        std::to_string(enough) + " one image needs: "}},
      {4, 2, 212992, {"4 cameras on 2 processor cores: ", "the kernel caps"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = StationWarnings(c.cameras, c.cores, c.rmem_max);
    ASSERT_EQ(lines.size(), c.starts.size()) << c.cameras << " " << c.cores << " " << c.rmem_max;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_TRUE(lines[i].starts_with(c.starts[i])) << lines[i];
    }
  }
}

}  // namespace
}  // namespace fp::test
