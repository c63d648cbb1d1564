// The report model alone: what the records and counters make of the verdict and the diagnoses,
// and the kernel counter read from a file of /proc/net/snmp's shape.

#include "framegrab/GrabReport.h"
#include "framegrab/HostCounters.h"
#include <gtest/gtest.h>

#include <fstream>

namespace fp {
namespace {

ImageRecord Image(int number, bool complete, int stream_packets) {
  ImageRecord r;
  r.number = number;
  r.complete = complete;
  r.stream_packets = stream_packets;
  r.missing_packets = 8248 - stream_packets;
  r.image_ms = 70.0 + number;
  return r;
}

TEST(GrabSummary, VerdictAndDiagnoses) {
  struct Case {
    const char* name;
    std::vector<ImageRecord> images;
    bool opened;
    std::int64_t buffer;
    std::int64_t drops;
    int signal_status;
    int status;
    std::vector<std::string> diagnosis_starts;
  };
  const std::vector<Case> cases = {
      {"all complete", {Image(1, true, 8248), Image(2, true, 8000)}, true, 20971520, 0, 0, 0, {}},
      {"one incomplete", {Image(1, true, 8248), Image(2, false, 10)}, true, 20971520, 0, 0, 1, {}},
      {"not opened", {}, false, -1, 0, 0, 3, {}},
      {"signal", {Image(1, false, 10)}, true, 20971520, 0, 130, 130, {}},
      {"no data, small buffer, drops",
       {Image(1, true, 0)},
       true,
       425984,
       7,
       0,
       0,
       {"No RAW data came",
        "The receive buffer granted (425984 bytes) is smaller than one image needs "
        "(19003392 bytes: the kernel counts each of its 8248 datagrams as 2304 bytes); lift "
        "the kernel's cap with: sudo sysctl -w net.core.rmem_max=10485760",
        "The kernel dropped 7 UDP datagrams"}},
      // Larger than the image's bytes, yet it queues fewer than half of its datagrams.
      {"buffer of an rmem_max of 6 MB",
       {Image(1, true, 8248)},
       true,
       12000000,
       0,
       0,
       0,
       {"The receive buffer granted (12000000 bytes) is smaller than one image needs"}},
      {"buffer that holds one image", {Image(1, true, 8248)}, true, 19003392, 0, 0, 0, {}},
  };
  for (const Case& c : cases) {
    GrabReport report;
    report.images = c.images;
    report.opened = c.opened;
    report.receive_buffer_bytes = c.buffer;
    report.rcvbuf_errors_before = 100;
    report.rcvbuf_errors_after = 100 + c.drops;
    Summarize(report, c.signal_status);
    EXPECT_EQ(report.summary.exit_status, c.status) << c.name;
    ASSERT_EQ(report.summary.diagnoses.size(), c.diagnosis_starts.size()) << c.name;
    for (std::size_t i = 0; i < c.diagnosis_starts.size(); ++i) {
      EXPECT_TRUE(report.summary.diagnoses[i].starts_with(c.diagnosis_starts[i]))
          << report.summary.diagnoses[i];
    }
  }
}

TEST(GrabSummary, PercentilesByNearestRank) {
  GrabReport report;
  report.opened = true;
  for (int i = 1; i <= 200; ++i) report.images.push_back(Image(i, true, 8248));
  report.images[5].missing_packets = 3;
  report.images[5].recovery_ms = 4.5;
  report.elapsed_ms = 20000;
  Summarize(report, 0);
  EXPECT_DOUBLE_EQ(report.summary.image_median_ms, 170.0);  // the 100th of 71 ... 270
  EXPECT_DOUBLE_EQ(report.summary.image_p99_ms, 268.0);     // the 198th
  EXPECT_DOUBLE_EQ(report.summary.image_max_ms, 270.0);
  EXPECT_DOUBLE_EQ(report.summary.images_per_s, 10.0);
  EXPECT_DOUBLE_EQ(report.summary.recovery_median_ms, 4.5);
  EXPECT_EQ(report.summary.missing_packets, 3);
}

TEST(GrabSummary, ReadsRcvbufErrorsFromTheUdpLines) {
  const std::string path = testing::TempDir() + "/snmp";
  std::ofstream(path)
      << "Tcp: RtoAlgorithm RcvbufErrors\nTcp: 1 99\n"
         "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors\n"
         "Udp: 1000 2 3 900 42 0\nUdpLite: InDatagrams RcvbufErrors\nUdpLite: 0 5\n";
  EXPECT_EQ(ReadRcvbufErrors(path), 42);
  EXPECT_EQ(ReadRcvbufErrors(path + ".missing"), std::nullopt);
}

}  // namespace
}  // namespace fp
