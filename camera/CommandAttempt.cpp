#include "camera/CommandAttempt.h"

#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <chrono>

namespace fp {

void DispatchQueued(SocketHandler& handler) { handler.Select(0, 0); }

std::uint8_t AwaitAnswer(SocketHandler& handler, NudpSocket& socket, std::chrono::microseconds wait,
                         const std::function<void()>& on_raw_packet) {
  using Clock = std::chrono::steady_clock;
  wait = std::max(wait, std::chrono::microseconds(0));
  auto deadline = Clock::now() + wait;
  // A mark left by datagrams that came before the command (while the listener was idle, say)
  // says nothing about this exchange.
  socket.TakePacketArrived();
  for (;;) {
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()),
                 std::chrono::microseconds(0));
    const int rc = handler.Select(0, static_cast<long>(left.count()));
    const bool arrived = socket.TakePacketArrived();
    const std::uint8_t state = socket.State();
    if (!NudpIsWaiting(state)) return state;
    // With several datagrams delivered per pass, the TOP is that of the last one.
    if (arrived && on_raw_packet && socket.LastTop() == NUDP_TOP_RAW_DATA) {
      if (NudpIsTakingData(state)) on_raw_packet();
      deadline = Clock::now() + wait;
      continue;
    }
    // A wait that fails returns at once; going round again would only spin.
    if (rc == -1 || Clock::now() >= deadline) return state;
  }
}

AttemptOutcome AttemptCommand(SocketHandler& handler, NudpSocket& socket, std::uint8_t top,
                              std::uint32_t number, std::chrono::microseconds wait,
                              const std::function<void()>& on_raw_packet) {
  DispatchQueued(handler);
  if (!socket.SendCmd(top, number)) return AttemptOutcome::kNotSent;
  const std::uint8_t state = AwaitAnswer(handler, socket, wait, on_raw_packet);
  if (NudpIsWaiting(state)) {
    socket.StopWaiting();
    return AttemptOutcome::kTimeout;
  }
  if (NudpHasCommandError(state)) return AttemptOutcome::kDamaged;
  if (NudpIsReady(state)) return AttemptOutcome::kAnswered;
  return AttemptOutcome::kUnexpected;
}

}  // namespace fp
