#pragma once

#include "capture/NudpConversation.h"

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace fp {

// What a replay answers a command with, without any I/O: the answer the capture's camera gave to
// a command of the same TOP and number field.
//
// The capture's commands are cut into parts at its start commands: part 0 before the first, part
// k from image k's start command to the next one's. While image k is replayed, the n-th command
// of a TOP and number gets the answer of the n-th command of that TOP and number that part k
// shows answered, the last one again once they run out; when part k shows none answered, the
// first answer the whole capture shows. A command the capture shows only unanswered stays
// unanswered, except those a driver cannot go without (0x08, 0x0A, 0xEF, 0x105, 0xFC): camsim
// answers those itself then, as it answers every command the capture never saw. Retransmission
// requests are not looked up here; a replay serves them from the image. For one thread.
class ReplayAnswers {
 public:
  // `commands`: a conversation's commands in the order the host sent them.
  explicit ReplayAnswers(const std::vector<CapturedCommand>& commands);

  enum class Source {
    kCapture,  // the capture's answer, header and data, in `answer`
    kNone,     // no answer: the capture's camera gave none
    kCamsim,   // camsim's own answer
  };
  struct Found {
    Source source = Source::kCamsim;
    const std::vector<std::uint8_t>* answer = nullptr;  // valid as long as the object
  };

  // Image `image` (1, 2, ... of the capture; 0 before any) begins to be replayed: the answers of
  // its part are given from the first again.
  void StartImage(int image);
  // The answer to the host's next command of `top` and `number`.
  Found Next(std::uint8_t top, std::uint32_t number);

  // True for the commands camsim answers itself when the capture shows no answer to them.
  static bool AlwaysAnswered(std::uint8_t top, std::uint32_t number);

 private:
  using Key = std::pair<std::uint8_t, std::uint32_t>;
  using Answers = std::map<Key, std::vector<std::vector<std::uint8_t>>>;

  std::vector<Answers> _parts;  // per part, each command's answers in the order they were sent
  std::map<Key, const std::vector<std::uint8_t>*> _first;  // into _parts
  std::set<Key> _seen;                                     // answered or not
  int _part = 0;
  std::map<Key, std::size_t> _given;  // answers of _part given so far
};

}  // namespace fp
