#include "camera/AnswerWait.h"

#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <chrono>

namespace fp {

std::uint8_t AwaitAnswer(SocketHandler& handler, NudpSocket& socket, std::int32_t wait_us,
                         const std::function<void()>& on_raw_packet) {
  using Clock = std::chrono::steady_clock;
  const std::chrono::microseconds wait(std::max(wait_us, 0));
  auto deadline = Clock::now() + wait;
  for (;;) {
    const std::uint64_t seen = socket.DatagramsSeen();
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
                 std::chrono::microseconds(0));
    const int rc = handler.Select(0, static_cast<long>(left.count()));
    const bool arrived = socket.TakePacketArrived();
    const std::uint8_t state = socket.State();
    // A RAW packet prolongs only a wait whose answer is still to come: with several datagrams
    // delivered per pass, the answer may stand in the same pass before it.
    if (arrived && on_raw_packet && socket.LastTop() == NUDP_TOP_RAW_DATA &&
        (state & NUDP_STATE_MASK) == NUDP_WAITING) {
      if ((state & NUDP_RAW_DATA) != 0) on_raw_packet();
      deadline = Clock::now() + wait;
      continue;
    }
    if (arrived || socket.DatagramsSeen() != seen || rc == -1) return state;
    if (Clock::now() >= deadline) return state;
  }
}

}  // namespace fp
