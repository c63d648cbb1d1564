#pragma once

#include <cstdint>
#include <functional>

namespace fp {

class NudpSocket;
class SocketHandler;

// Waits for the answer to the command just sent on `socket` by turning `handler` in Select
// passes, and returns the socket's state after the last pass.
//
// The wait lasts `wait_us` microseconds and ends early when a datagram reaches the socket. A
// pass that ends without one, on an error report alone (a refused port answering an earlier
// send, say) or on a wake-up, does not end it: the wait goes on for the time left. When
// `on_raw_packet` is given, a RAW data packet that comes while the socket still waits for its
// answer starts a new wait of the full time instead; `on_raw_packet` is called first when the
// socket accepts RAW data at that moment.
std::uint8_t AwaitAnswer(SocketHandler& handler, NudpSocket& socket, std::int32_t wait_us,
                         const std::function<void()>& on_raw_packet = {});

}  // namespace fp
