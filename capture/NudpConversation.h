#pragma once

#include "nudp/NudpProtocol.h"

#include "capture/CaptureFile.h"
#include "capture/WireFigures.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fp {

// One end of a conversation: an IPv4 address and a UDP port.
struct WireEnd {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
  friend auto operator<=>(const WireEnd&, const WireEnd&) = default;
};
// "192.168.1.20:1234".
std::string WireEndText(const WireEnd& end);

// A command the host sent, as the capture shows it: its sendings and the answer that ended it.
struct CapturedCommand {
  std::int64_t sent_ns = 0;  // first sent
  WireEnd from;              // the host's socket it came from
  std::uint8_t top = 0;
  std::uint32_t number = 0;
  std::vector<std::uint8_t> data;    // what followed its header
  int sendings = 1;                  // the first and each repetition before an answer
  std::int64_t answered_ns = -1;     // the first answer to it, -1 when none
  std::vector<std::uint8_t> answer;  // that answer, header and data; empty when none
  // From the first sending to the answer, in milliseconds; -1 when not answered.
  double AnswerMs() const {
    return answered_ns < 0 ? -1 : static_cast<double>(answered_ns - sent_ns) / 1e6;
  }
};

// A RAW packet as the stream brought it, for a replay: when, relative to the image's start
// command, and which packet. Kept only when the builder is asked to.
struct StreamPacket {
  std::int64_t after_ns = 0;
  std::uint32_t number = 0;
};

// What the capture counted for one image, as the driver counts the same things.
struct WireCounts {
  std::int64_t received = 0;  // datagrams from the camera
  std::int64_t raw = 0;
  std::int64_t stored = 0;  // first copies stored from the stream
  std::int64_t duplicates = 0;
  std::int64_t conflicts = 0;
  std::int64_t refused = 0;  // new packets after the stream had ended
  std::int64_t damaged = 0;
  std::int64_t matched_answers = 0;
  std::int64_t stray_answers = 0;
  std::int64_t restarts = 0;
  std::int64_t commands = 0;  // sendings, repetitions included
  std::int64_t repeats = 0;
  std::int64_t status_requests = 0;
  std::int64_t retransmission_requests = 0;
  std::int64_t answered_retransmissions = 0;
  std::int64_t fetched_again = 0;
};

// One image of a conversation, rebuilt as the driver built it: the stream's packets that reached
// the driver (those the host did not ask for again), then the retransmission answers, a 0x08
// answered again starting it over.
struct CapturedImage {
  int number = 0;               // 1, 2, ... in the conversation
  std::int64_t started_ns = 0;  // the start command first sent
  std::int64_t ended_ns = 0;    // the image's last datagram (its start when none came)
  bool complete = false;        // every packet in the end
  int stream_packets = 0;       // distinct packets of the stream that reached the driver
  int missing_packets = 0;      // what the driver lacked after the stream
  std::vector<RawPacketRange> missing_ranges;  // lacking in the end
  double recovery_ms = 0;  // first retransmission request to its last answer; 0 none
  WireCounts counts;
  WireFigures wire;
  std::vector<CapturedCommand> commands;  // sent while it was taken, the start command first
  std::vector<StreamPacket> stream;       // when kept
  // RAW_IMAGE_SIZE bytes: what the capture holds of each packet (an answer's copy before the
  // stream's), zero where it holds none; `held` says which it holds, as a replay serves them.
  // The driver's image is this where `missing_ranges` do not reach: a packet the host lost and
  // never got again is held all the same, so whoever shows the driver's image zeroes those.
  std::shared_ptr<std::uint8_t[]> data;
  std::vector<bool> held;
};

// A camera's conversation in the capture: the camera's address and what passed outside images.
struct Conversation {
  WireEnd camera;
  WireEnd host;           // the host socket that sent the first command
  std::string camera_id;  // the identification answer's text, empty when none
  std::int64_t first_ns = 0;
  std::int64_t last_ns = 0;
  int images = 0;
  std::int64_t datagrams = 0;
  // Every command the host sent, in order, with its answer: a replay answers from these.
  std::vector<CapturedCommand> commands;
};

// The camera's end of `datagram` when it is NUDP (to or from UDP port 1234, with the signature),
// and whether it goes to the camera; false for any other datagram.
bool NudpCameraOf(const CapturedDatagram& datagram, WireEnd& camera, bool& to_camera);

// Why `file`, read to its end, cannot be taken for cameras' traffic: frames cut short by its snap
// length, or no NUDP conversation in it (`conversations` 0); "" when it can. framegrab and camsim
// refuse a capture in these words.
std::string UnusableCapture(const CaptureFile& file, std::size_t conversations);
// Why `file` stopped: "damaged after N frames: ...", once Next said kDamaged.
std::string DamagedCapture(const CaptureFile& file);

// Sorts a capture's UDP datagrams into NUDP conversations (one per camera address, port 1234)
// and rebuilds each one's images as they end, in capture order. Datagrams that are not NUDP are
// counted and left out. For one thread.
class ConversationBuilder {
 public:
  // Called as each image ends, with its conversation as it stands.
  using ImageSink = std::function<void(const Conversation&, CapturedImage&&)>;
  // Gives the buffer of each image (RAW_IMAGE_SIZE bytes); the default allocates.
  using BufferSource = std::function<std::shared_ptr<std::uint8_t[]>()>;

  explicit ConversationBuilder(ImageSink sink, BufferSource buffers = {}, bool keep_stream = false);
  ~ConversationBuilder();
  ConversationBuilder(const ConversationBuilder&) = delete;
  ConversationBuilder& operator=(const ConversationBuilder&) = delete;

  void Add(const CapturedDatagram& datagram);
  // Ends every image still open, in the order they started.
  void Finish();

  // Every conversation so far, by camera address.
  const std::map<WireEnd, Conversation>& Conversations() const { return _conversations; }
  std::int64_t OtherDatagrams() const { return _other; }  // UDP, but not NUDP

 private:
  struct Taking;
  // Settles the image `camera`'s conversation is taking and hands it to the sink.
  void EndImage(const WireEnd& camera);

  ImageSink _sink;
  BufferSource _buffers;
  bool _keep_stream;
  std::map<WireEnd, Conversation> _conversations;
  std::map<WireEnd, std::unique_ptr<Taking>> _taking;
  std::int64_t _other = 0;
};

}  // namespace fp
