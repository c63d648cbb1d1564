#pragma once

#include "nudp/NudpProtocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fp {

struct SimulatorOptions;

// What the simulated camera answers, without any I/O: the data of the answer to a command and
// the answer's header with the --damage faults applied. A function of the command, the options
// and the little the camera adds (the image streamed last, whether a stream runs), so that the
// fuzz target can run it on any command. Used by one thread at a time.
class CameraAnswers {
 public:
  // `options` must outlive the object.
  explicit CameraAnswers(const SimulatorOptions& options);

  // Room for the data of any answer.
  using DataBuffer = std::array<std::uint8_t, NUDP_MAX_DATA_LENGTH>;

  // Writes the data bytes of the answer to `command`, a header that CommandRejection accepts,
  // into `out` and returns their count: for a
  // retransmission request the bytes of image `image_number` from the requested offset, cut at
  // the end of the image (none outside it); for 0x0A the transfer status, finished unless
  // `streaming` (or the options say otherwise); for 0xEF the identification; none for any
  // other command, 0x08 included. Allocates nothing: the simulator answers every recovery
  // request with it.
  std::size_t Data(const NudpHeader& command, std::uint32_t image_number, bool streaming,
                   DataBuffer& out) const;

  // The header of the answer to `command`. Its checksum is spoiled when a --damage entry that
  // has not damaged an answer yet matches the command; the entry is then used up and `damaged`
  // set. One entry per answer, so a code given n times damages its first n answers.
  NudpHeader Header(const NudpHeader& command, bool& damaged);

  // True when the answer to `command` is to be lost on its way: a --lose-answer entry that has
  // not lost an answer yet matches the command, and is used up.
  bool LoseAnswer(const NudpHeader& command);

 private:
  const SimulatorOptions& _options;
  std::vector<bool> _damage_used;  // one per _options.damage entry
  std::vector<bool> _lose_used;    // one per _options.lose_answer entry
};

}  // namespace fp
