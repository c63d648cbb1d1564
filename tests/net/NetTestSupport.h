#pragma once

// Helpers shared by the socket-layer tests: a log that records every report, loopback addresses,
// descriptor and thread counts and bounded waits for datagrams to be queued.

#include "net/Address.h"
#include "net/Socket.h"
#include "net/SocketHandler.h"
#include "net/SocketLog.h"
#include "net/SocketOps.h"
#include "net/UdpSocket.h"

#include "tests/support/Loopback.h"
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <linux/sock_diag.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace fp::test {

struct Reported {
  Socket* socket;
  std::string call;
  std::int32_t code;
  std::string text;
  ReportLevel level;
};

inline bool operator==(const Reported& a, const Reported& b) {
  return a.socket == b.socket && a.call == b.call && a.code == b.code && a.text == b.text &&
         a.level == b.level;
}

inline std::ostream& operator<<(std::ostream& os, const Reported& r) {
  return os << "{" << r.socket << ", \"" << r.call << "\", " << r.code << ", \"" << r.text << "\", "
            << static_cast<int>(r.level) << "}";
}

class RecordingLog : public SocketLog {
 public:
  void Report(SocketHandler& /*handler*/, Socket* socket, const std::string& call,
              std::int32_t code, const std::string& text, ReportLevel level) override {
    reports.push_back({socket, call, code, text, level});
  }

  std::vector<Reported> reports;
};

inline std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Declared first in a test fixture: the test fails when a descriptor opened since the fixture
// came is still open once all of it has gone.
struct DescriptorsClosed {
  std::size_t before = OpenDescriptors();
  ~DescriptorsClosed() { EXPECT_EQ(OpenDescriptors(), before); }
};

// Threads of the process.
inline std::size_t Tasks() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

// The thread count before a test starts threads of its own. A sanitizer may start a helper
// thread with the first thread a program creates: let one come and go first.
inline std::size_t TasksBefore() {
  std::thread([] {}).join();
  return Tasks();
}

// Bytes of the descriptor's receive queue, as the kernel accounts them.
inline std::uint32_t QueuedMemory(int descriptor) {
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  getsockopt(descriptor, SOL_SOCKET, SO_MEMINFO, info, &length);
  return info[SK_MEMINFO_RMEM_ALLOC];
}

// Sends one datagram through `sender` and waits, at most 2 seconds, until it sits in the receive
// queue of `receiver`, so a following pass is sure to find it.
inline void SendQueued(UdpSocket& sender, int receiver, const std::string& datagram) {
  const std::uint32_t before = QueuedMemory(receiver);
  sender.SendText(datagram, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (QueuedMemory(receiver) <= before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(QueuedMemory(receiver), before) << "datagram not queued";
}

// A listening TCP descriptor on `address`:`port`. SO_REUSEADDR lets a rerun bind while the last
// run's connections linger in TIME_WAIT.
inline int Listen(const char* address, std::uint16_t port) {
  const int listener = sockets::CreateSocket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(listener, -1);
  sockets::SetIntOption(listener, SOL_SOCKET, SO_REUSEADDR, 1);
  EXPECT_EQ(sockets::BindIPv4(listener, Ip(address), port), 0);
  EXPECT_EQ(listen(listener, 1), 0);
  return listener;
}

// A UDP socket that keeps every datagram it is given.
class Collector : public UdpSocket {
 public:
  Collector(SocketHandler& handler, std::int32_t size) : UdpSocket(handler, size) {}

  void OnRawData(const std::uint8_t* data, std::size_t length, const struct sockaddr* from,
                 std::uint32_t from_length) override {
    received.emplace_back(reinterpret_cast<const char*>(data), length);
    from_lengths.push_back(from_length);
    if (from_length >= sizeof(sockaddr)) last_from = *from;
  }

  std::vector<std::string> received;
  std::vector<std::uint32_t> from_lengths;
  sockaddr last_from{};
};

// A bound and connected pair on the loopback address `a` (and `b`), ports 40000 and 40001.
struct UdpPair {
  UdpPair(SocketHandler& handler, const char* a, const char* b, std::int32_t size = 1032)
      : left(handler, size), right(handler, size) {
    std::uint16_t left_port = 40000;
    std::uint16_t right_port = 40001;
    EXPECT_EQ(left.Bind(Ip(a), left_port, 0), 0);
    EXPECT_EQ(right.Bind(Ip(b), right_port, 0), 0);
    EXPECT_TRUE(left.Open(Ip(b), right_port));
    EXPECT_TRUE(right.Open(Ip(a), left_port));
  }

  Collector left;
  Collector right;
};

}  // namespace fp::test
