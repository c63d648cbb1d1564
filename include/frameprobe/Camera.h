#pragma once

// The camera driver for programs outside this project: connect to a NUDP camera, take images
// with the missing packets fetched again, send commands, close.
//
//   frameprobe::Camera camera("192.168.1.10", "192.168.1.20");
//   frameprobe::Image image;
//   const frameprobe::GrabInfo info = camera.Grab(image);
//   if (!info.complete) { /* info.missing names the packets the image lacks */ }
//   // info.counters: what the driver counted during the grab (duplicates, requests, ...).

#include "frameprobe/Counters.h"
#include "frameprobe/Export.h"
#include "frameprobe/Protocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#if __cplusplus >= 202002L
#include <span>
#endif
#include <stdexcept>
#include <string>
#include <vector>

namespace frameprobe {

// A failure of the connection or of the camera, with the driver's reason in what().
class FRAMEPROBE_EXPORT Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~Error() override;  // out of line: the type lives in the library
};

// The packets `begin` to `end` - 1.
struct PacketRange {
  int begin = 0;
  int end = 0;

  int Count() const { return end - begin; }
  friend bool operator==(const PacketRange& a, const PacketRange& b) {
    return a.begin == b.begin && a.end == b.end;
  }
  friend bool operator!=(const PacketRange& a, const PacketRange& b) { return !(a == b); }
};

// How one image arrived.
struct FRAMEPROBE_EXPORT GrabInfo {
  // Every packet is in the image.
  bool complete = false;
  // The caller's stop flag ended the grab before the image was whole.
  bool cancelled = false;
  // Packets stored from the stream, and fetched again one by one afterwards.
  int stream_packets = 0;
  int fetched_again_packets = 0;
  // Missing after the stream (what recovery had to fetch), and still missing at the end (empty
  // when complete), ascending.
  std::vector<PacketRange> lost;
  std::vector<PacketRange> missing;
  // From just before the start command to the end of recovery, and recovery alone (0 when
  // nothing was missing).
  double image_ms = 0.0;
  double recovery_ms = 0.0;
  // What the driver counted from the start command (its repetitions included) to the end of
  // recovery; all 0 when the grab was stopped before it started.
  Counters counters;

  int LostPackets() const { return kPacketsPerImage - stream_packets; }
  int MissingPackets() const;
};

// The memory of one image, owned: kImageBytes bytes as the camera sent them.
class FRAMEPROBE_EXPORT Image {
 public:
  Image();
  std::uint8_t* Bytes() { return _bytes.get(); }
  const std::uint8_t* Bytes() const { return _bytes.get(); }
  // The 16-bit sample in `row` (0 to kImageHeight - 1) and `column` (0 to kImageWidth - 1).
  std::uint16_t Sample(int row, int column) const;

 private:
  std::unique_ptr<std::uint8_t[]> _bytes;
};

struct Options {
  // Switch binning on once connected, as frameprobe and framegrab do; it also shows at once
  // whether the camera answers.
  bool binning = true;
  // The driver log and the error log, appended to; empty for none. The driver writes some 45,000
  // lines an image into the driver log.
  std::string log_file;
  std::string err_log_file;
};

// A command's answer: its number field and its data.
struct Answer {
  std::uint32_t number = 0;
  std::vector<std::uint8_t> data;
};

// One connection to one camera, open from construction to Close or destruction.
//
// Every operation may be called from any thread; they are served one at a time, so a call made
// while another runs (a grab, say) waits for it. A failure throws Error; an image that stays
// incomplete is no failure, its GrabInfo says so. When the camera stops answering, the driver
// gives the connection up: that call and every later one throw.
class FRAMEPROBE_EXPORT Camera {
 public:
  // Binds UDP ports 32100 and 32101 on `local` (a dotted quad or a host name), connects to
  // the camera at `remote` (port 1234) and, unless told otherwise, switches binning on. An
  // empty address, or one holding a NUL character, is refused before anything is bound.
  Camera(const std::string& local, const std::string& remote, const Options& options = {});
  // Closes the connection and the logs.
  ~Camera();
  Camera(Camera&&) noexcept;
  Camera& operator=(Camera&&) noexcept;
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Waits for a transfer in progress to end and closes the connection; idempotent.
  void Close();
  bool IsOpen() const;

  // "<address>:32100", and the camera's "<address>:1234".
  std::string LocalAddress() const;
  std::string CameraAddress() const;
  // The kernel receive buffer of the image socket, in bytes as the kernel counts them.
  int ReceiveBufferBytes() const;
  // What the driver counted since the connection was opened, over every grab and command. Does
  // not wait for a call running on another thread: each counter is whole, the set is not taken
  // at one instant then.
  Counters Totals() const;

  // Sends one command (TOP 0 to 6) and returns the camera's answer; a command is sent up to three
  // times when no answer or a damaged one comes. Starting an image this way is for Grab alone.
  Answer Command(std::uint32_t number, std::uint8_t top = kTopCommand);
  // The camera's identification text.
  std::string Identify();

  // Takes one image into `image` (the caller's memory) and fetches again, one by one, the
  // packets the stream lost. `stop`, when given, may be set from any thread to end the grab
  // early: a transfer running ends within some 25 ms with the packets it brought so far,
  // recovery stops before its next request, and the result says `cancelled`.
  GrabInfo Grab(Image& image, const std::atomic<bool>* stop = nullptr);
#if __cplusplus >= 202002L
  // Throws Error naming both sizes, before anything is sent, unless `image` holds exactly
  // kImageBytes bytes.
  GrabInfo Grab(std::span<std::uint8_t> image, const std::atomic<bool>* stop = nullptr);
#endif
  // Unchecked: `image` must point to kImageBytes writable bytes, which the driver fills from its
  // listener thread; a shorter buffer is written past its end. A C array of bytes picks this
  // form; give it as a std::span to have its size checked.
  GrabInfo Grab(std::uint8_t* image, const std::atomic<bool>* stop = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace frameprobe
