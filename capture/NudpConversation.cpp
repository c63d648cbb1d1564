#include "capture/NudpConversation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fp {

namespace {

constexpr std::uint8_t kRetransmitAnswerTop = NUDP_RESPONSE_FLAG | NUDP_TOP_RETRANSMIT;

// The packet frameprobe asks for again at the end of every image, whatever became of it.
constexpr std::uint64_t kFrameprobeCheckPacket = 251;

constexpr std::size_t kPackets = RAW_PACKETS_PER_IMAGE;

// The command at `at` (not negative) of `commands`.
CapturedCommand& At(std::vector<CapturedCommand>& commands, int at) {
  return commands[static_cast<std::size_t>(at)];
}

// The longest gaps a stream keeps.
constexpr std::size_t kLongestGaps = 3;

// True when `answer` is what the camera answers `command` with.
bool Answers(const CapturedCommand& command, const std::uint8_t* answer) {
  const NudpHeader sent = BuildCommandHeader(command.top, command.number);
  NudpHeader expected = BuildExpectedResponse(sent);
  if (command.top == NUDP_TOP_FREE_HIGH) AdoptFreeHighBytes(expected, answer);
  return std::memcmp(expected.data(), answer, NUDP_HEADER_LENGTH) == 0;
}

bool IsStart(const CapturedCommand& command) {
  return command.top != NUDP_TOP_RETRANSMIT && IsStartRawCommand(command.number);
}

double MsOf(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace

double WireFigures::StreamMbitPerS() const {
  if (stream_ms <= 0 || stream_copies < 2) return 0;
  // The first packet's arrival opens the span: the bytes of the others crossed it.
  const double bytes = static_cast<double>(stream_copies - 1) * NUDP_MAX_PACKET_LENGTH;
  return bytes * 8 / (stream_ms * 1e3);
}

std::string CommandName(std::uint8_t top, std::uint32_t number) {
  if (top == NUDP_TOP_RETRANSMIT) return "retransmission";
  if (number == NUDP_CMD_BINNING_ON) return "binning on";
  if (IsStartRawCommand(number)) return "start";
  switch (number) {
    case NUDP_CMD_TRANSFER_STATUS:
      return "transfer status";
    case NUDP_CMD_IDENTIFY:
      return "identify";
    case NUDP_CMD_REFRESH:
      return "watchdog refresh";
    default:
      break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", number);
  return text;
}

bool NudpCameraOf(const CapturedDatagram& d, WireEnd& camera, bool& to_camera) {
  to_camera = d.to_port == NUDP_CAMERA_PORT;
  if (!to_camera && d.from_port != NUDP_CAMERA_PORT) return false;
  const NudpKind kind = ClassifyDatagram(d.payload, d.payload_length);
  if (kind == NudpKind::kTooShort || kind == NudpKind::kNoSignature) return false;
  camera = to_camera ? WireEnd{d.to_ip, d.to_port} : WireEnd{d.from_ip, d.from_port};
  return true;
}

std::string UnusableCapture(const CaptureFile& file, std::size_t conversations) {
  if (file.CutShortFrames() > 0) {
    return std::to_string(file.CutShortFrames()) +
           " UDP frames were cut short by the capture's snap length (" +
           std::to_string(file.SnapLength()) +
           " bytes): a RAW packet's frame needs at least 1100; take the capture again with -s 0";
  }
  if (conversations == 0) {
    return "no NUDP traffic in it (" + std::to_string(file.Frames()) + " frames, " +
           std::to_string(file.Datagrams()) +
           " UDP datagrams over IPv4): a camera's traffic goes to and from UDP port " +
           std::to_string(NUDP_CAMERA_PORT);
  }
  return "";
}

std::string DamagedCapture(const CaptureFile& file) {
  return "damaged after " + std::to_string(file.Frames()) + " frames: " + file.Error();
}

std::string WireEndText(const WireEnd& end) {
  return Ipv4Text(end.ip) + ":" + std::to_string(end.port);
}

// The image a conversation is taking: what the stream and the answers brought, per packet.
struct ConversationBuilder::Taking {
  CapturedImage image;
  bool open = false;
  WireEnd host;               // the host socket that sent the start command: the driver's
  int start_answers = 0;      // answers to the start command so far
  bool stream_ended = false;  // the last packet came, or the host asked after the stream
  // Datagrams from the camera since the last one the image needed, and the stray answers among
  // them: the image's once another datagram it needs follows; when the image ends first (the
  // next start, the capture's end), they came once the driver was done with it, and are left
  // out as the driver leaves them out.
  std::int64_t tail_received = 0;
  std::int64_t tail_stray = 0;
  // Folds the tail into the image: something it needed came after it.
  void KeepTail() {
    image.counts.received += tail_received;
    image.counts.stray_answers += tail_stray;
    tail_received = tail_stray = 0;
  }
  // Per packet of the image.
  std::vector<std::uint8_t> in_stream;   // a copy came in the stream
  std::vector<std::uint8_t> conflict;    // a later copy differed from the first
  std::vector<std::uint8_t> requested;   // the host asked for it again
  std::vector<std::uint8_t> fetched;     // a retransmission answer brought it
  std::vector<std::uint8_t> late;        // first came after the stream had ended: refused
  std::vector<std::int64_t> arrival_ns;  // of the first copy in the stream
  std::vector<double> answer_ms;         // of each answered retransmission request
  int have_count = 0;                    // packets the driver has (Has)
  std::int64_t last_request = -1;        // the packet asked for last
  std::int64_t stream_first_ns = -1;
  std::int64_t stream_last_ns = -1;
  std::int64_t recovery_first_ns = -1;
  std::int64_t recovery_last_ns = -1;
  // The commands each host socket waits on an answer to: an index into image.commands or,
  // for those sent outside an image and those that are not kept there, into the
  // conversation's list; retransmission requests are kept in neither.
  struct Pending {
    CapturedCommand command;
    int kept_in_image = -1;
    int kept_in_conversation = -1;
  };
  std::map<WireEnd, Pending> pending;

  // True when the driver has packet `i`: the stream's copy it did not ask for again, or an
  // answer's.
  bool Has(std::size_t i) const {
    return (in_stream[i] != 0 && requested[i] == 0 && conflict[i] == 0) || fetched[i] != 0;
  }
  // Sets `flag` of packet `i`, keeping have_count.
  void Mark(std::vector<std::uint8_t>& flag, std::size_t i) {
    const bool had = Has(i);
    flag[i] = 1;
    have_count += static_cast<int>(Has(i)) - static_cast<int>(had);
  }

  void ResetPackets() {
    have_count = 0;
    last_request = -1;
    in_stream.assign(RAW_PACKETS_PER_IMAGE, 0);
    conflict.assign(RAW_PACKETS_PER_IMAGE, 0);
    requested.assign(RAW_PACKETS_PER_IMAGE, 0);
    fetched.assign(RAW_PACKETS_PER_IMAGE, 0);
    late.assign(RAW_PACKETS_PER_IMAGE, 0);
    stream_ended = false;
    arrival_ns.assign(RAW_PACKETS_PER_IMAGE, -1);
    answer_ms.clear();
    image.wire.longest_gaps.clear();
    image.stream.clear();
    stream_first_ns = stream_last_ns = -1;
    recovery_first_ns = recovery_last_ns = -1;
  }

  // Files a gap of `ms` before packet `before`, keeping the longest few.
  void NoteGap(double ms, int before) {
    auto& gaps = image.wire.longest_gaps;
    if (gaps.size() == kLongestGaps && ms <= gaps.back().ms) return;
    const auto at =
        std::find_if(gaps.begin(), gaps.end(), [ms](const StreamGap& g) { return ms > g.ms; });
    gaps.insert(at, StreamGap{ms, before});
    if (gaps.size() > kLongestGaps) gaps.pop_back();
  }
};

ConversationBuilder::ConversationBuilder(ImageSink sink, BufferSource buffers, bool keep_stream)
    : _sink(std::move(sink)), _buffers(std::move(buffers)), _keep_stream(keep_stream) {
  if (!_buffers) {
    _buffers = [] { return std::shared_ptr<std::uint8_t[]>(new std::uint8_t[RAW_IMAGE_SIZE]); };
  }
}

ConversationBuilder::~ConversationBuilder() = default;

namespace {

// What ends an image: every packet settled as the driver had it, the figures worked out, the
// places still missing zeroed.
void Settle(CapturedImage& image, const std::vector<std::uint8_t>& in_stream,
            const std::vector<std::uint8_t>& conflict, const std::vector<std::uint8_t>& requested,
            const std::vector<std::uint8_t>& fetched, const std::vector<std::uint8_t>& late,
            const std::vector<std::int64_t>& arrival_ns, std::int64_t stream_first_ns,
            std::int64_t stream_last_ns) {
  image.held.assign(RAW_PACKETS_PER_IMAGE, false);
  image.missing_ranges.clear();
  image.wire.bursts.clear();
  int have_count = 0;
  for (std::size_t p = 0; p < kPackets; ++p) {
    const int i = static_cast<int>(p);
    // The driver kept the stream's copy unless it asked for the packet again: then only an
    // answer brought it.
    const bool from_stream = in_stream[p] != 0 && requested[p] == 0 && conflict[p] == 0;
    const bool have = from_stream || fetched[p] != 0;
    image.held[p] = in_stream[p] != 0 || late[p] != 0 || fetched[p] != 0;
    // The buffer comes as it was left: what the capture does not hold is zeroed here alone.
    if (!image.held[p]) {
      std::memset(image.data.get() + p * RAW_PACKET_DATA_LENGTH, 0, RAW_PACKET_DATA_LENGTH);
    }
    if (from_stream) ++image.stream_packets;
    if (!from_stream) {
      ++image.missing_packets;
      if (late[p] != 0) {
        // In the capture, but after the stream: the driver refused it; not lost.
      } else if (in_stream[p] == 0) {
        ++image.wire.lost_before_host;
      } else if (conflict[p] == 0) {
        ++image.wire.lost_in_host;
      }
    }
    if (have) {
      ++have_count;
      continue;
    }
    if (!image.missing_ranges.empty() && image.missing_ranges.back().last == i - 1) {
      image.missing_ranges.back().last = i;
    } else {
      image.missing_ranges.push_back({i, i});
    }
  }
  image.complete = have_count == RAW_PACKETS_PER_IMAGE;
  // Runs of packets the capture's stream lacks, and the arrival gap across each.
  for (std::size_t p = 0; p < kPackets;) {
    if (in_stream[p] != 0 || late[p] != 0) {
      ++p;
      continue;
    }
    std::size_t end = p;
    while (end < kPackets && in_stream[end] == 0 && late[end] == 0) ++end;
    const std::int64_t before = p > 0 ? arrival_ns[p - 1] : stream_first_ns;
    const std::int64_t after = end < kPackets ? arrival_ns[end] : stream_last_ns;
    const double gap = before >= 0 && after >= before ? MsOf(after - before) : 0;
    image.wire.bursts.push_back(LossBurst{static_cast<int>(p), static_cast<int>(end - p), gap});
    p = end;
  }
  image.wire.stream_ms = stream_first_ns >= 0 ? MsOf(stream_last_ns - stream_first_ns) : 0;
}

}  // namespace

void ConversationBuilder::Add(const CapturedDatagram& d) {
  WireEnd camera;
  bool to_camera = false;
  if (!NudpCameraOf(d, camera, to_camera)) {
    ++_other;
    return;
  }
  const NudpKind kind = ClassifyDatagram(d.payload, d.payload_length);
  const WireEnd host = to_camera ? WireEnd{d.from_ip, d.from_port} : WireEnd{d.to_ip, d.to_port};
  Conversation& c = _conversations[camera];
  if (c.datagrams == 0) {
    c.camera = camera;
    c.first_ns = d.time_ns;
  }
  ++c.datagrams;
  c.last_ns = std::max(c.last_ns, d.time_ns);
  std::unique_ptr<Taking>& slot = _taking[camera];
  if (!slot) slot = std::make_unique<Taking>();
  Taking& t = *slot;
  CapturedImage& image = t.image;
  const std::uint8_t* header = d.payload;
  const std::uint8_t* data = d.payload + NUDP_HEADER_LENGTH;
  const std::size_t data_length = d.payload_length - NUDP_HEADER_LENGTH;
  const std::uint32_t number = ReadNumberField(header);

  if (to_camera) {
    if (c.host.port == 0) c.host = host;
    CapturedCommand command;
    command.sent_ns = d.time_ns;
    command.from = host;
    command.top = header[2] & NUDP_TOP_MASK;
    command.number = number;
    command.data.assign(data, data + data_length);
    const auto waiting = t.pending.find(host);
    const bool repeat = waiting != t.pending.end() && waiting->second.command.top == command.top &&
                        waiting->second.command.number == command.number;
    if (repeat) {
      Taking::Pending& p = waiting->second;
      ++p.command.sendings;
      if (p.kept_in_image >= 0) ++At(image.commands, p.kept_in_image).sendings;
      if (p.kept_in_conversation >= 0) ++At(c.commands, p.kept_in_conversation).sendings;
    } else if (IsStart(command)) {
      // A new image: the one before ends here.
      if (t.open) {
        t.tail_received = t.tail_stray = 0;
        EndImage(camera);
      }
      t.ResetPackets();
      image = CapturedImage{};
      image.number = ++c.images;
      image.started_ns = d.time_ns;
      image.ended_ns = d.time_ns;
      image.data = _buffers();
      t.open = true;
      t.host = host;
      t.start_answers = 0;
      t.tail_received = t.tail_stray = 0;
    }
    // The driver counts what passes on its own socket; the watchdog's refreshes go on another.
    const bool drivers = t.open && host == t.host;
    if (drivers) {
      ++image.counts.commands;
      if (repeat) ++image.counts.repeats;
      if (command.top != NUDP_TOP_RETRANSMIT && (number & 0xFF) == NUDP_CMD_TRANSFER_STATUS) {
        ++image.counts.status_requests;
      }
      image.ended_ns = std::max(image.ended_ns, d.time_ns);
    }
    if (drivers &&
        (command.top == NUDP_TOP_RETRANSMIT || (number & 0xFF) == NUDP_CMD_TRANSFER_STATUS)) {
      // The driver asks after the stream only once it has ended or gone quiet.
      t.stream_ended = true;
    }
    if (command.top == NUDP_TOP_RETRANSMIT && drivers) {
      ++image.counts.retransmission_requests;
      const std::uint64_t index = RawPacketIndex(number);
      // Recovery asks for what the driver lacks in order of the packets; a request for a
      // packet of an image the capture holds whole is a check, not a loss, when it goes back
      // (after a recovery that made the image whole), or when it is the image's first and asks
      // for packet 251, which frameprobe asks for again at the end of every image. (A host
      // that lost packet 251 alone looks the same.)
      const bool whole = t.have_count == RAW_PACKETS_PER_IMAGE;
      const bool check = whole && (static_cast<std::int64_t>(index) <= t.last_request ||
                                   (t.last_request < 0 && index == kFrameprobeCheckPacket));
      if (index < RAW_PACKETS_PER_IMAGE) t.last_request = static_cast<std::int64_t>(index);
      if (index < RAW_PACKETS_PER_IMAGE && !check) {
        t.Mark(t.requested, index);
      }
      if (t.recovery_first_ns < 0) t.recovery_first_ns = d.time_ns;
    }
    if (!repeat) {
      Taking::Pending p;
      if (command.top != NUDP_TOP_RETRANSMIT) {
        if (drivers) {
          p.kept_in_image = static_cast<int>(image.commands.size());
          image.commands.push_back(command);
        }
        p.kept_in_conversation = static_cast<int>(c.commands.size());
        c.commands.push_back(command);
      }
      p.command = std::move(command);
      t.pending[host] = std::move(p);
    }
    return;
  }  // From the camera: what reaches the driver's socket is the image's.
  const bool drivers = t.open && host == t.host;
  if (drivers) ++t.tail_received;
  if (!NudpChecksumOk(header)) {
    if (drivers) ++image.counts.damaged;
    return;
  }
  if (kind == NudpKind::kRawData) {
    if (!drivers) return;
    t.KeepTail();
    image.ended_ns = std::max(image.ended_ns, d.time_ns);
    ++image.counts.raw;
    ++image.wire.stream_copies;
    if (!RawPacketInImage(number, data_length) || !RawPacketFillsItsPlace(number, data_length)) {
      ++image.counts.damaged;
      return;
    }
    const std::size_t index = RawPacketIndex(number);
    std::uint8_t* place = image.data.get() + index * RAW_PACKET_DATA_LENGTH;
    if (_keep_stream) image.stream.push_back(StreamPacket{d.time_ns - image.started_ns, number});
    if (t.stream_last_ns >= 0)
      t.NoteGap(MsOf(d.time_ns - t.stream_last_ns), static_cast<int>(index));
    if (t.stream_first_ns < 0) t.stream_first_ns = d.time_ns;
    t.stream_last_ns = d.time_ns;
    if (t.in_stream[index] == 0 && t.stream_ended) {
      // After its stream the driver stores nothing new: the packet is fetched, if at all.
      ++image.counts.refused;
      t.late[index] = 1;
      // Kept for a replay all the same: the capture holds it.
      if (t.fetched[index] == 0) std::memcpy(place, data, RAW_PACKET_DATA_LENGTH);
    } else if (t.in_stream[index] == 0) {
      t.Mark(t.in_stream, index);
      if (index == kPackets - 1) t.stream_ended = true;
      t.arrival_ns[index] = d.time_ns;
      ++image.counts.stored;
      // A packet fetched already keeps the answer's data.
      if (t.fetched[index] == 0) std::memcpy(place, data, RAW_PACKET_DATA_LENGTH);
    } else if (t.fetched[index] == 0 && std::memcmp(place, data, RAW_PACKET_DATA_LENGTH) != 0) {
      ++image.counts.conflicts;
      t.Mark(t.conflict, index);
    } else if (t.stream_ended) {
      // The same again after the stream: compared, and refused.
      ++image.counts.refused;
    } else {
      ++image.counts.duplicates;
    }
    return;
  }

  // An answer: to the command its host socket waits on, or stray.
  const auto waiting = t.pending.find(host);
  if (waiting == t.pending.end() ||
      !Answers(waiting->second.command, header)) {  // A further answer to the image's start command
                                                    // that a repetition of it still waited on:
    // the camera began the image again, and the driver takes the new stream. One more answer
    // than sendings is a stray copy.
    const bool start_again = drivers && t.start_answers > 0 && !image.commands.empty() &&
                             Answers(image.commands.front(), header);
    const bool restart = start_again && t.start_answers < image.commands.front().sendings;
    if (start_again) ++t.start_answers;
    if (restart) {
      ++image.counts.restarts;
      ++image.counts.matched_answers;
      const auto commands = std::move(image.commands);
      const auto counts = image.counts;
      t.ResetPackets();
      image.commands = commands;
      image.counts = counts;
    } else if (drivers) {
      ++t.tail_stray;
    }
    if (restart) {
      t.KeepTail();
      image.ended_ns = std::max(image.ended_ns, d.time_ns);
    }
    return;
  }
  Taking::Pending p = std::move(waiting->second);
  t.pending.erase(waiting);
  p.command.answered_ns = d.time_ns;
  p.command.answer.assign(d.payload, d.payload + d.payload_length);
  if (p.kept_in_image >= 0 && t.open) {
    At(image.commands, p.kept_in_image).answered_ns = d.time_ns;
    At(image.commands, p.kept_in_image).answer = p.command.answer;
    if (p.kept_in_image == 0 && IsStart(p.command)) t.start_answers = 1;
  }
  if (p.kept_in_conversation >= 0) {
    CapturedCommand& kept = At(c.commands, p.kept_in_conversation);
    kept.answered_ns = d.time_ns;
    kept.answer = p.command.answer;
    if (p.command.top != NUDP_TOP_RETRANSMIT && (p.command.number & 0xFF) == NUDP_CMD_IDENTIFY &&
        c.camera_id.empty()) {
      c.camera_id = std::string(NudpIdText(data, data_length));
    }
  }
  if (!drivers) return;
  t.KeepTail();
  image.ended_ns = std::max(image.ended_ns, d.time_ns);
  ++image.counts.matched_answers;
  if (p.command.top != NUDP_TOP_RETRANSMIT || header[2] != kRetransmitAnswerTop) return;
  ++image.counts.answered_retransmissions;
  t.answer_ms.push_back(p.command.AnswerMs());
  t.recovery_last_ns = d.time_ns;
  if (!RawPacketInImage(number, data_length) || !RawPacketFillsItsPlace(number, data_length)) {
    return;
  }
  const std::size_t index = RawPacketIndex(number);
  // What recovery brought: a packet the driver lacked.
  if (!t.Has(index)) ++image.counts.fetched_again;
  t.Mark(t.fetched, index);
  std::memcpy(image.data.get() + index * RAW_PACKET_DATA_LENGTH, data, RAW_PACKET_DATA_LENGTH);
}

void ConversationBuilder::EndImage(const WireEnd& camera) {
  Taking& t = *_taking[camera];
  if (!t.open) return;
  t.open = false;
  CapturedImage& image = t.image;
  Settle(image, t.in_stream, t.conflict, t.requested, t.fetched, t.late, t.arrival_ns,
         t.stream_first_ns, t.stream_last_ns);
  if (t.recovery_first_ns >= 0 && t.recovery_last_ns >= t.recovery_first_ns) {
    image.recovery_ms = MsOf(t.recovery_last_ns - t.recovery_first_ns);
  }
  if (!t.answer_ms.empty()) {
    std::sort(t.answer_ms.begin(), t.answer_ms.end());
    image.wire.retransmission_answer_median_ms = t.answer_ms[(t.answer_ms.size() - 1) / 2];
    image.wire.retransmission_answer_max_ms = t.answer_ms.back();
  }
  image.wire.retransmission_answers = static_cast<std::int64_t>(t.answer_ms.size());
  for (const CapturedCommand& command : image.commands) {
    image.wire.commands.push_back(CommandTime{CommandName(command.top, command.number),
                                              command.sendings, command.AnswerMs()});
  }
  // Commands waiting on an answer when the image ends stay with it as unanswered.
  for (auto it = t.pending.begin(); it != t.pending.end();) {
    it->second.kept_in_image = -1;
    ++it;
  }
  _sink(_conversations[camera], std::move(image));
  image = CapturedImage{};
}

void ConversationBuilder::Finish() {
  // In the order the open images started.
  std::vector<std::pair<std::int64_t, WireEnd>> open;
  for (const auto& [camera, taking] : _taking) {
    if (taking->open) open.emplace_back(taking->image.started_ns, camera);
  }
  std::sort(open.begin(), open.end());
  for (const auto& [started, camera] : open) {
    Taking& t = *_taking[camera];
    t.tail_received = t.tail_stray = 0;
    EndImage(camera);
  }
}

}  // namespace fp
