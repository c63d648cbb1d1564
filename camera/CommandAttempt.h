#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace fp {

class NudpSocket;
class SocketHandler;

// Hands whatever already waits in the kernel to `socket` in one pass of `handler` that does not
// wait. Called before a command goes out, so that a late or repeated answer to an earlier
// command is judged as the stray it is rather than as the answer to the new one.
void DispatchQueued(SocketHandler& handler);

// Waits for the answer to the command just sent on `socket` by turning `handler` in Select
// passes, and returns the socket's state after the last pass.
//
// The wait ends when the socket leaves WAITING (the answer came, or a damaged one) or when
// `wait` has passed without that. Nothing else ends it: a datagram that does
// not complete the exchange (an answer to another command, one from another sender, one too
// short or without signature) is judged and logged by the socket and the wait goes on for the
// time left, as it does after a pass that ended on a wake-up or on an error report alone. The
// socket's arrival mark is cleared first, so only what arrives during this wait counts. When
// `on_raw_packet` is given, a RAW data packet that comes while the socket still waits for its
// answer starts a new wait of the full time; `on_raw_packet` is called first when the socket
// accepts RAW data at that moment.
std::uint8_t AwaitAnswer(SocketHandler& handler, NudpSocket& socket, std::chrono::microseconds wait,
                         const std::function<void()>& on_raw_packet = {});

// How one attempt of a command ended.
enum class AttemptOutcome {
  kNotSent,     // the socket refused the command; nothing was waited for
  kTimeout,     // no answer within the wait; the socket is READY again
  kDamaged,     // an answer with a bad checksum; the socket is READY|CMD_ERR
  kAnswered,    // the answer came; the socket is READY and holds it
  kUnexpected,  // the socket ended the wait in a state no exchange leads to
};

// One attempt of a command: hands over what already waits (DispatchQueued), sends the command
// (TOP `top`, `number`) on `socket`, waits for its answer (AwaitAnswer, with `on_raw_packet`)
// and judges the state the wait left. Logs nothing of its own beyond what the socket logs; the
// caller words the outcome.
AttemptOutcome AttemptCommand(SocketHandler& handler, NudpSocket& socket, std::uint8_t top,
                              std::uint32_t number, std::chrono::microseconds wait,
                              const std::function<void()>& on_raw_packet = {});

}  // namespace fp
