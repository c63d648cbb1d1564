// The run's model alone: what the records and facts make of the verdict and the diagnoses, the
// figures of a picture, the records kept across chunks, and the kernel counter read from a file
// of /proc/net/snmp's shape.

#include "framegrab/model/RunModel.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/GrabOptions.h"
#include "framegrab/model/HostCounters.h"
#include "framegrab/model/PictureStats.h"
#include "framegrab/model/RunRecords.h"
#include "framegrab/views/SummaryText.h"
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>

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

RunModel Model(RunFacts facts, const std::vector<ImageRecord>& images) {
  RunTotals totals;
  RecordList::Chunk chunk;
  for (const ImageRecord& r : images) {
    totals.Add(r);
    chunk.push_back(r);
  }
  return BuildModel(std::move(facts),
                    RecordList({}, std::make_shared<const RecordList::Chunk>(chunk)), totals);
}

TEST(RunModel, VerdictAndDiagnoses) {
  struct Case {
    const char* name;
    std::vector<ImageRecord> images;
    bool opened;
    RunEnd ended_by;
    std::int64_t buffer;
    std::int64_t drops;
    int interrupt_status;
    int failed_pictures;
    int status;
    std::vector<std::string> diagnosis_starts;
  };
  const std::vector<Case> cases = {
      {"all complete",
       {Image(1, true, 8248), Image(2, true, 8000)},
       true,
       RunEnd::kImages,
       20971520,
       0,
       0,
       0,
       0,
       {}},
      {"one incomplete",
       {Image(1, true, 8248), Image(2, false, 10)},
       true,
       RunEnd::kImages,
       20971520,
       0,
       0,
       0,
       1,
       {}},
      {"a picture failed", {Image(1, true, 8248)}, true, RunEnd::kImages, 20971520, 0, 0, 1, 1, {}},
      {"not opened", {}, false, RunEnd::kContactLost, -1, 0, 0, 0, 3, {}},
      {"contact lost",
       {Image(1, true, 8248)},
       true,
       RunEnd::kContactLost,
       20971520,
       0,
       0,
       0,
       3,
       {}},
      {"signal", {Image(1, false, 10)}, true, RunEnd::kSignal, 20971520, 0, 130, 0, 130, {}},
      {"no data, small buffer, drops",
       {Image(1, true, 0)},
       true,
       RunEnd::kImages,
       425984,
       7,
       0,
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
       RunEnd::kImages,
       12000000,
       0,
       0,
       0,
       0,
       {"The receive buffer granted (12000000 bytes) is smaller than one image needs"}},
      {"buffer that holds one image",
       {Image(1, true, 8248)},
       true,
       RunEnd::kImages,
       19003392,
       0,
       0,
       0,
       0,
       {}},
  };
  for (const Case& c : cases) {
    RunFacts facts;
    facts.opened = c.opened;
    facts.ended_by = c.ended_by;
    facts.receive_buffer_bytes = c.buffer;
    facts.rcvbuf_errors_before = 100;
    facts.rcvbuf_errors_after = 100 + c.drops;
    facts.interrupt_status = c.interrupt_status;
    facts.failed_pictures = c.failed_pictures;
    const RunModel model = Model(facts, c.images);
    EXPECT_EQ(model.summary.exit_status, c.status) << c.name;
    ASSERT_EQ(model.summary.diagnoses.size(), c.diagnosis_starts.size()) << c.name;
    for (std::size_t i = 0; i < c.diagnosis_starts.size(); ++i) {
      EXPECT_TRUE(model.summary.diagnoses[i].starts_with(c.diagnosis_starts[i]))
          << model.summary.diagnoses[i];
    }
  }
}

// Outages ridden out give their own status unless something else went wrong; a run that ends
// in one, without a signal, ends as a camera that does not answer.
TEST(RunModel, OutagesInTheVerdictTheSumsAndTheWords) {
  struct Case {
    const char* name;
    std::vector<bool> over;  // one outage each, of 2 and then 5 seconds
    RunEnd ended_by;
    int interrupt_status;
    bool other_incomplete;  // an image incomplete without an outage
    int status;
  };
  const std::vector<Case> cases = {
      {"ridden out", {true, true}, RunEnd::kImages, 0, false, 4},
      {"ridden out, and an image incomplete", {true}, RunEnd::kImages, 0, true, 1},
      {"given up", {true, false}, RunEnd::kOutage, 0, false, 3},
      {"out of time in one", {false}, RunEnd::kDuration, 0, false, 3},
      {"signal in one", {false}, RunEnd::kSignal, 143, false, 143},
  };
  for (const Case& c : cases) {
    RunFacts facts;
    facts.opened = true;
    facts.local = "10.0.0.1";
    facts.camera = "10.0.0.2:1234";
    facts.ended_by = c.ended_by;
    facts.interrupt_status = c.interrupt_status;
    // Image 2 was cut short by the first outage before a packet came.
    std::vector<ImageRecord> images = {Image(1, true, 8248), Image(2, false, 0),
                                       Image(3, !c.other_incomplete, 8000)};
    images[1].outage = 1;
    for (std::size_t i = 0; i < c.over.size(); ++i) {
      Outage o;
      o.number = static_cast<int>(i) + 1;
      o.over = c.over[i];
      o.duration_ms = i == 0 ? 2000 : 5000;
      facts.outages.push_back(o);
    }
    facts.outages[0].lost_images = {2};
    const RunModel model = Model(facts, images);
    EXPECT_EQ(model.summary.exit_status, c.status) << c.name;
    EXPECT_EQ(model.totals.images_lost_to_outages, 1) << c.name;
    EXPECT_EQ(model.totals.incomplete_images, c.other_incomplete ? 2 : 1) << c.name;
    // The image the outage cut short is no sign of a firewall.
    ASSERT_EQ(model.summary.diagnoses.size(), 1u) << c.name;
    const std::string both =
        "7.0 s without contact with the camera in 2 outages (longest 5.0 s). Usual causes: a "
        "cable pulled or a switch port going down, the camera losing power or restarting, or "
        "another device taking the camera's or this host's address; check the host with: "
        "hostcheck 10.0.0.1 10.0.0.2.";
    if (c.over.size() == 2) {
      EXPECT_EQ(model.summary.diagnoses[0], both) << c.name;
    }
  }
}

TEST(RunModel, PercentilesByNearestRankAndTheSummaryInWords) {
  std::vector<ImageRecord> images;
  for (int i = 1; i <= 200; ++i) images.push_back(Image(i, true, 8248));
  images[5].missing_packets = 3;
  images[5].transfer.camera.fetched_again = 3;
  images[7].transfer.socket.duplicates = 2;
  images[5].recovery_ms = 4.5;
  images[199].samples.min = 12;
  images[199].samples.max = 65535;
  images[199].samples.mean = 1000.25;
  images[199].samples.standard_deviation = 20;
  images[199].samples.saturated = 4;
  images[0].samples.zero = 9;
  RunFacts facts;
  facts.opened = true;
  facts.ended_by = RunEnd::kImages;
  facts.requested_images = 200;
  facts.elapsed_ms = 20000;
  facts.cpu_user_ms = 2000;
  facts.cpu_system_ms = 1000;
  facts.receive_buffer_bytes = 20971520;
  facts.driver.socket = {1650004, 0, 1, 1649603, 1649600, 2, 0, 1, 210, 3, 0};
  facts.driver.camera = {215, 4, 4, 1, 3, 3, 3, 0, 0};
  facts.started = UtcTime(std::chrono::milliseconds(1714564800250));
  facts.camera_id = "FrameProbe CamSim 1";
  const RunModel model = Model(facts, images);
  EXPECT_DOUBLE_EQ(model.summary.image_median_ms, 170.0);  // the 100th of 71 ... 270
  EXPECT_DOUBLE_EQ(model.summary.image_p99_ms, 268.0);     // the 198th
  EXPECT_DOUBLE_EQ(model.summary.image_max_ms, 270.0);
  EXPECT_DOUBLE_EQ(model.summary.images_per_s, 10.0);
  EXPECT_DOUBLE_EQ(model.summary.recovery_median_ms, 4.5);
  EXPECT_EQ(model.totals.missing_packets, 3);
  EXPECT_EQ(FormatSummary(model),
            "images: 200 complete, 0 incomplete, of 200 asked for (ended by images)\n"
            "started: 2024-05-01T12:00:00.250Z, camera \"FrameProbe CamSim 1\"\n"
            "outages: none\n"
            "image time: median 170.0 ms, p99 268.0 ms, max 270.0 ms\n"
            "images per second: 10.00\n"
            "missing after the stream: 3 packets (0.000% of 1649600)\n"
            "fetched again: 3 packets; recovery median 4.5 ms, max 4.5 ms\n"
            "duplicates: 2 packets\n"
            "received since open: 1650004 datagrams: 1649603 RAW packets (1649600 stored, 2 "
            "duplicates, 0 with other data, 1 refused), 210 answers matched, 3 stray answers, 0 "
            "restarts, 0 from other senders, 1 damaged\n"
            "commands since open: 215 sent (4 repeats, 4 timed out), 1 status requests, 3 "
            "retransmission requests (3 answered), 0 drains, 0 lost contacts\n"
            "samples: image 200: min 12, max 65535, mean 1000.2, standard deviation 20.0; in all "
            "images 4 saturated (65535) and 9 zero\n"
            "processor time per image: user 10.0 ms, system 5.0 ms\n"
            "receive buffer: 20971520 bytes granted, one image needs 19003392 of it\n"
            "kernel UDP receive-buffer drops: unknown (/proc/net/snmp not readable)\n");
}

// A RAW image whose sample s is value(s), least significant byte first.
std::vector<std::uint8_t> Picture(const std::function<std::uint16_t(std::size_t)>& value) {
  std::vector<std::uint8_t> raw(RAW_IMAGE_SIZE);
  for (std::size_t s = 0; s < RAW_IMAGE_SIZE / 2; ++s) {
    const std::uint16_t v = value(s);
    raw[2 * s] = static_cast<std::uint8_t>(v & 0xFF);
    raw[2 * s + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  return raw;
}

TEST(PictureStats, FiguresOfKnownImages) {
  constexpr std::int64_t kSamples = RAW_IMAGE_SIZE / 2;  // 4222976
  struct Case {
    const char* name;
    std::function<std::uint16_t(std::size_t)> value;
    std::uint16_t min, max;
    double mean, standard_deviation;
    std::int64_t saturated, zero;
    std::vector<std::pair<int, std::uint32_t>> bins;  // the bins that are not empty
  };
  const std::vector<Case> cases = {
      {"dark",
       [](std::size_t) { return std::uint16_t{0}; },
       0,
       0,
       0,
       0,
       0,
       kSamples,
       {{0, kSamples}}},
      {"saturated",
       [](std::size_t) { return std::uint16_t{65535}; },
       65535,
       65535,
       65535,
       0,
       kSamples,
       0,
       {{255, kSamples}}},
      // Half 255, half 256: the two sides of a bin's edge, with a spread of exactly 0.5.
      {"edge",
       [](std::size_t s) { return static_cast<std::uint16_t>(255 + s % 2); },
       255,
       256,
       255.5,
       0.5,
       0,
       0,
       {{0, kSamples / 2}, {1, kSamples / 2}}},
      // One sample of each extreme among samples of 1000.
      {"extremes",
       [](std::size_t s) {
         return static_cast<std::uint16_t>(s == 7 ? 0 : s == 8 ? 65535 : 1000);
       },
       0,
       65535,
       (1000.0 * (kSamples - 2) + 65535) / kSamples,
       -1,
       1,
       1,
       {{0, 1}, {3, kSamples - 2}, {255, 1}}},
  };
  std::vector<std::uint32_t> scratch;
  for (const Case& c : cases) {
    const PictureStats p = AnalysePicture(Picture(c.value).data(), scratch);
    EXPECT_EQ(p.min, c.min) << c.name;
    EXPECT_EQ(p.max, c.max) << c.name;
    EXPECT_DOUBLE_EQ(p.mean, c.mean) << c.name;
    if (c.standard_deviation >= 0) {
      EXPECT_DOUBLE_EQ(p.standard_deviation, c.standard_deviation) << c.name;
    }
    EXPECT_EQ(p.saturated, c.saturated) << c.name;
    EXPECT_EQ(p.zero, c.zero) << c.name;
    std::array<std::uint32_t, PictureStats::kBins> bins{};
    for (const auto& [bin, count] : c.bins) bins[static_cast<std::size_t>(bin)] = count;
    EXPECT_EQ(p.histogram, bins) << c.name;
  }
  // The spread from its definition, for samples that are not symmetric.
  const PictureStats p = AnalysePicture(Picture([](std::size_t s) {
                                          return static_cast<std::uint16_t>(s % 3 == 0 ? 900 : 0);
                                        }).data(),
                                        scratch);
  const double mean = 900.0 * std::ceil(kSamples / 3.0) / kSamples;
  EXPECT_NEAR(p.standard_deviation, std::sqrt(mean * (900 - mean)), 1e-9);
}

TEST(RunRecords, KeepsEveryRecordAcrossChunksAndBuildsEachVersionOnce) {
  RunRecords records;
  RunFacts facts;
  facts.requested_images = 600;
  facts.opened = true;
  records.Begin(facts);
  for (int n = 1; n <= 600; ++n) {
    ImageRecord r = Image(n, true, RAW_PACKETS_PER_IMAGE);
    r.image_ms = n;
    r.ended_after_ms = n * 10.0;
    records.Add(r);
  }
  std::shared_ptr<const RunModel> model = records.Model();
  EXPECT_EQ(records.Model(), model);  // nothing changed: the same model
  EXPECT_TRUE(model->Running());
  ASSERT_EQ(model->images.Size(), 600u);
  int expected = 1;
  model->images.ForEach([&](const ImageRecord& r) { EXPECT_EQ(r.number, expected++); });
  EXPECT_EQ(model->Latest()->number, 600);
  EXPECT_EQ(model->totals.complete_images, 600);
  EXPECT_EQ(model->summary.image_median_ms, 300);
  EXPECT_EQ(model->facts.elapsed_ms, 6000);  // the last image's end, while running

  const std::uint64_t seen = records.Version();
  facts.ended_by = RunEnd::kImages;
  facts.elapsed_ms = 6000;
  records.Finish(facts);
  EXPECT_TRUE(records.WaitForChange(seen, std::chrono::milliseconds(0)));
  model = records.Model();
  EXPECT_FALSE(model->Running());
  EXPECT_EQ(model->images.Size(), 600u);
  EXPECT_EQ(model->summary.images_per_s, 100);
  records.Close();
  EXPECT_FALSE(records.WaitForChange(records.Version(), std::chrono::milliseconds(1000)));
}

TEST(HostCounters, ReadsRcvbufErrorsFromTheUdpLines) {
  const std::string path = testing::TempDir() + "/snmp";
  std::ofstream(path)
      << "Tcp: RtoAlgorithm RcvbufErrors\nTcp: 1 99\n"
         "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors\n"
         "Udp: 1000 2 3 900 42 0\nUdpLite: InDatagrams RcvbufErrors\nUdpLite: 0 5\n";
  EXPECT_EQ(ReadRcvbufErrors(path), 42);
  EXPECT_EQ(ReadRcvbufErrors(path + ".missing"), std::nullopt);
}

TEST(GrabOptions, TimesTakeUnitsAndNothingElse) {
  const std::vector<std::pair<std::string, double>> good = {
      {"90", 90},   {"90s", 90},    {"1.5m", 90},   {"30m", 1800},
      {"2h", 7200}, {"3d", 259200}, {"0.25", 0.25}, {"0", 0}};
  for (const auto& [text, seconds] : good) {
    double parsed = -1;
    EXPECT_TRUE(ParseDuration(text, parsed)) << text;
    EXPECT_DOUBLE_EQ(parsed, seconds) << text;
  }
  for (const std::string text :
       {"", "s", "-1s", "+5", "1e300", "2x", "1..5", "inf", "nan", ".", "2 h", "h2"}) {
    double parsed = -1;
    EXPECT_FALSE(ParseDuration(text, parsed)) << text;
  }
}

}  // namespace
}  // namespace fp
