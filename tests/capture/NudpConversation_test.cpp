#include "capture/NudpConversation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace fp::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kHost = 0x0A000001;    // 10.0.0.1
constexpr std::uint32_t kCamera = 0x0A000002;  // 10.0.0.2

// What the capture of one conversation holds, datagram by datagram, a microsecond apart unless
// told otherwise.
class Wire {
 public:
  explicit Wire(std::uint32_t camera = kCamera) : _camera(camera) {}

  void Command(std::uint8_t top, std::uint32_t number, std::int64_t after_us = 1) {
    const NudpHeader h = BuildCommandHeader(top, number);
    Send(true, Bytes(h.begin(), h.end()), after_us);
  }
  void Answer(std::uint8_t top, std::uint32_t number, const Bytes& data = {},
              std::int64_t after_us = 1) {
    const NudpHeader h = BuildExpectedResponse(BuildCommandHeader(top, number));
    Bytes bytes(h.begin(), h.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    Send(false, bytes, after_us);
  }
  // RAW packet `index` of an image whose bytes are all `fill`.
  void Raw(int index, std::uint8_t fill, std::int64_t after_us = 1) {
    NudpHeader h = BuildCommandHeader(0, RawNumberField(index));
    h[2] = NUDP_RAW_TOP_BYTE;
    h[3] = NudpChecksum(h.data());
    Bytes bytes(h.begin(), h.end());
    bytes.resize(NUDP_MAX_PACKET_LENGTH, fill);
    Send(false, bytes, after_us);
  }
  // The retransmission of packet `index`: its request and, unless `answered` is false, its answer.
  void Fetch(int index, std::uint8_t fill, bool answered = true) {
    Command(NUDP_TOP_RETRANSMIT, RawNumberField(index));
    if (answered) Answer(NUDP_TOP_RETRANSMIT, RawNumberField(index), Bytes(1024, fill), 20);
  }
  // An image's start command, answered, and its stream 9 us a packet: every packet but those in
  // `absent` (lost on the way: their time passes all the same), each `fill`.
  void Image(std::uint8_t fill, const std::vector<int>& absent = {}) {
    Command(0, NUDP_CMD_START_RAW, 1000);
    Answer(0, NUDP_CMD_START_RAW, {}, 500);
    for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
      if (std::find(absent.begin(), absent.end(), i) == absent.end()) {
        Raw(i, fill, 9 + _lost_us);
        _lost_us = 0;
      } else {
        _lost_us += 9;
      }
    }
  }

  void Feed(ConversationBuilder& builder) const {
    for (const Item& item : _items) {
      CapturedDatagram d;
      d.time_ns = item.time_ns;
      d.from_ip = item.to_camera ? kHost : _camera;
      d.from_port = item.to_camera ? NUDP_DRIVER_PORT : NUDP_CAMERA_PORT;
      d.to_ip = item.to_camera ? _camera : kHost;
      d.to_port = item.to_camera ? NUDP_CAMERA_PORT : NUDP_DRIVER_PORT;
      d.payload = item.bytes.data();
      d.payload_length = item.bytes.size();
      builder.Add(d);
    }
  }
  std::int64_t Now() const { return _now_ns; }

 private:
  struct Item {
    bool to_camera;
    std::int64_t time_ns;
    Bytes bytes;
  };
  void Send(bool to_camera, Bytes bytes, std::int64_t after_us) {
    _now_ns += after_us * 1000;
    _items.push_back({to_camera, _now_ns, std::move(bytes)});
  }
  std::uint32_t _camera;
  std::int64_t _lost_us = 0;  // the time of packets lost since the last one sent
  std::int64_t _now_ns = 1'700'000'000'000'000'000;
  std::vector<Item> _items;
};

struct Built {
  std::vector<CapturedImage> images;
  std::vector<WireEnd> cameras;  // of each image, in the order they ended
};

Built Build(const std::vector<const Wire*>& wires) {
  Built built;
  ConversationBuilder builder([&](const Conversation& c, CapturedImage&& image) {
    built.cameras.push_back(c.camera);
    built.images.push_back(std::move(image));
  });
  for (const Wire* wire : wires) wire->Feed(builder);
  builder.Finish();
  return built;
}

bool AllBytes(const CapturedImage& image, int index, std::uint8_t value) {
  const std::uint8_t* at = image.data.get() + static_cast<std::size_t>(index) * 1024;
  return std::all_of(at, at + 1024, [value](std::uint8_t b) { return b == value; });
}

// Each way a packet goes missing, and what the image, its figures and its bytes say of it.
TEST(ConversationBuilder, RebuildsEachImageAsTheDriverHadIt) {
  Wire w;
  w.Command(0, NUDP_CMD_BINNING_ON);
  w.Answer(0, NUDP_CMD_BINNING_ON, {}, 300);
  Bytes id(10, 0);
  const std::string text = "Cam 7";
  id.insert(id.end(), text.begin(), text.end());
  w.Command(0, NUDP_CMD_IDENTIFY);
  w.Answer(0, NUDP_CMD_IDENTIFY, id, 200);
  // Image 1: 5 and 6-8 never reach the host; 100 and 101 reach it, yet the driver asks for them
  // again, 101 in vain;
  // after the stream 200 comes again alike (refused), 300 with other data; all are fetched but
  // 7.
  w.Image(0x11, {5, 6, 7, 8});
  w.Raw(200, 0x11);
  w.Raw(300, 0x99);
  w.Command(0, NUDP_CMD_TRANSFER_STATUS);
  w.Answer(0, NUDP_CMD_TRANSFER_STATUS, {0, NUDP_STATUS_FINISHED}, 50);
  for (const int index : {5, 6, 8, 100, 300}) w.Fetch(index, 0x11);
  w.Fetch(7, 0x11, /*answered=*/false);
  w.Fetch(101, 0x11, /*answered=*/false);
  // Image 2: the start sent twice, its first answer late, a part of a stream, then the answer
  // to the repetition: the image begins anew. A third answer is a stray copy.
  w.Command(0, NUDP_CMD_START_RAW, 1000);
  w.Command(0, NUDP_CMD_START_RAW, 100000);
  w.Answer(0, NUDP_CMD_START_RAW);
  for (int i = 0; i < 50; ++i) w.Raw(i, 0x55);
  w.Answer(0, NUDP_CMD_START_RAW);
  w.Answer(0, NUDP_CMD_START_RAW);
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) w.Raw(i, 0x22, i == 4000 ? 3000 : 9);
  w.Fetch(251, 0x22);  // a check of the whole image, as frameprobe makes one: no loss
  w.Fetch(9, 0x22);    // back over the whole image: a check too

  const Built built = Build({&w});
  ASSERT_EQ(built.images.size(), 2u);
  const CapturedImage& one = built.images[0];
  EXPECT_EQ(one.number, 1);
  EXPECT_FALSE(one.complete);
  EXPECT_EQ(one.stream_packets, RAW_PACKETS_PER_IMAGE - 7);
  EXPECT_EQ(one.missing_packets, 7);
  EXPECT_EQ(one.wire.lost_before_host, 4);
  EXPECT_EQ(one.wire.lost_in_host, 2);  // 100, 101: 300 was asked for again for its conflict
  EXPECT_EQ(one.missing_ranges, (std::vector<RawPacketRange>{{7, 7}, {101, 101}}));
  ASSERT_EQ(one.wire.bursts.size(), 1u);
  EXPECT_EQ(one.wire.bursts[0].first, 5);
  EXPECT_EQ(one.wire.bursts[0].count, 4);
  EXPECT_NEAR(one.wire.bursts[0].gap_ms, 0.009 * 5, 1e-9);  // from packet 4 to packet 9
  EXPECT_EQ(one.counts.duplicates, 0);
  EXPECT_EQ(one.counts.refused, 1);
  EXPECT_EQ(one.counts.conflicts, 1);
  EXPECT_EQ(one.counts.retransmission_requests, 7);
  EXPECT_EQ(one.counts.answered_retransmissions, 5);
  EXPECT_EQ(one.counts.fetched_again, 5);
  EXPECT_EQ(one.counts.status_requests, 1);
  EXPECT_TRUE(AllBytes(one, 300, 0x11));  // the answer's copy, not the conflicting one
  EXPECT_TRUE(AllBytes(one, 7, 0x00));
  EXPECT_TRUE(AllBytes(one, 8247, 0x11));
  EXPECT_FALSE(one.held[7]);
  // Missing for the driver, yet the capture holds the stream's copy: a replay serves it.
  EXPECT_TRUE(one.held[101]);
  EXPECT_TRUE(AllBytes(one, 101, 0x11));
  EXPECT_TRUE(one.held[100]);
  ASSERT_EQ(one.wire.commands.size(), 2u);
  EXPECT_EQ(one.wire.commands[0].name, "start");
  EXPECT_NEAR(one.wire.commands[0].answer_ms, 0.5, 1e-9);
  EXPECT_EQ(one.wire.commands[1].name, "transfer status");
  EXPECT_NEAR(one.wire.retransmission_answer_median_ms, 0.02, 1e-9);

  const CapturedImage& two = built.images[1];
  EXPECT_TRUE(two.complete);
  EXPECT_EQ(two.counts.restarts, 1);
  EXPECT_EQ(two.counts.stray_answers, 1);
  EXPECT_EQ(two.counts.repeats, 1);
  EXPECT_EQ(two.stream_packets, RAW_PACKETS_PER_IMAGE);
  EXPECT_EQ(two.missing_packets, 0);
  EXPECT_EQ(two.counts.fetched_again, 0);
  EXPECT_EQ(two.counts.answered_retransmissions, 2);
  EXPECT_EQ(two.counts.duplicates + two.counts.conflicts, 0);
  EXPECT_TRUE(AllBytes(two, 10, 0x22));
  ASSERT_FALSE(two.wire.longest_gaps.empty());
  EXPECT_NEAR(two.wire.longest_gaps[0].ms, 3.0, 1e-9);
  EXPECT_EQ(two.wire.longest_gaps[0].before, 4000);
  EXPECT_NEAR(two.wire.stream_ms, 0.009 * 8247 + 3.0 - 0.009, 1e-6);
}

// Two cameras in one capture: each image stays with its camera, the identification
// with its conversation, and images still open at the end are ended in the order they began.
TEST(ConversationBuilder, KeepsCamerasApart) {
  Wire a(kCamera);
  Wire b(kCamera + 1);
  a.Image(0xA1, {1});
  b.Image(0xB1);
  a.Command(0, NUDP_CMD_START_RAW, 1000);  // image 2 of camera a: no answer, no stream
  std::vector<std::pair<std::uint32_t, int>> ended;
  ConversationBuilder builder([&](const Conversation& c, CapturedImage&& image) {
    ended.emplace_back(c.camera.ip, image.number);
    EXPECT_EQ(c.camera.port, NUDP_CAMERA_PORT);
    EXPECT_EQ(c.host.ip, kHost);
    if (c.camera.ip == kCamera && image.number == 1) {
      EXPECT_EQ(image.wire.lost_before_host, 1);
      EXPECT_TRUE(AllBytes(image, 0, 0xA1));
    }
    if (c.camera.ip == kCamera + 1) {
      EXPECT_TRUE(image.complete);
      EXPECT_TRUE(AllBytes(image, 1, 0xB1));
    }
    if (image.number == 2) {
      EXPECT_EQ(image.stream_packets, 0);
      EXPECT_EQ(image.wire.lost_before_host, RAW_PACKETS_PER_IMAGE);
      EXPECT_EQ(image.wire.commands.at(0).answer_ms, -1);
    }
  });
  a.Feed(builder);
  b.Feed(builder);
  // Not NUDP: another port, and no signature on the camera's.
  CapturedDatagram other;
  const Bytes junk = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  other.payload = junk.data();
  other.payload_length = junk.size();
  other.to_port = 53;
  builder.Add(other);
  other.to_port = NUDP_CAMERA_PORT;
  builder.Add(other);
  builder.Finish();
  EXPECT_EQ(builder.OtherDatagrams(), 2);
  EXPECT_EQ(builder.Conversations().size(), 2u);
  // Camera a's first image ended at its second start; b's and a's second at the end, b's first
  // since it began first.
  EXPECT_EQ(ended, (std::vector<std::pair<std::uint32_t, int>>{
                       {kCamera, 1}, {kCamera + 1, 1}, {kCamera, 2}}));
}

}  // namespace
}  // namespace fp::test
