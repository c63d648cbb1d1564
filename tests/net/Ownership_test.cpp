// Who may end a socket, from which thread, and in which order with its handler: one test per
// rule of the socket layer's ownership.

#include "net/Socket.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/UdpSocket.h"

#include "NetTestSupport.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace fp::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Sends datagrams from a plain descriptor bound on `from`, to any port of `to`.
class RawSender {
 public:
  RawSender(const char* from, const char* to) : _to(Ip(to)) {
    _descriptor = sockets::CreateSocket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(sockets::BindIPv4(_descriptor, Ip(from), 0), 0);
  }
  ~RawSender() { sockets::Close(_descriptor); }

  void Send(std::uint16_t port, const std::string& datagram) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = _to;
    EXPECT_EQ(sendto(_descriptor, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address),
              static_cast<long>(datagram.size()));
  }

 private:
  std::uint32_t _to;
  int _descriptor;
};

// Datagrams queued at the receiver before the pass that reads them.
void Queue(const RawSender& sender, int receiver, std::uint16_t port, int count) {
  for (int i = 0; i < count; ++i) {
    const std::uint32_t before = QueuedMemory(receiver);
    sender.Send(port, "d" + std::to_string(i));
    ASSERT_TRUE(WaitUntil([&] { return QueuedMemory(receiver) > before; }, 2000ms, 1ms));
  }
}

// Binds the socket to `address`:`port` and registers it with its handler; `detached` hands it
// to a thread of its own as well.
void Serve(SocketHandler& handler, UdpSocket& socket, const char* address, std::uint16_t port,
           bool detached = false) {
  ASSERT_EQ(socket.Bind(Ip(address), port, 0), 0);
  handler.Add(&socket);
  handler.Select(0, 0);
  if (!detached) return;
  socket.SetThreadWanted(true);
  handler.Select(0, 0);
}

// How a datagram callback ends its own socket.
enum class Ending { kDelete, kClose, kMark };

class SelfEnding : public UdpSocket {
 public:
  SelfEnding(SocketHandler& handler, Ending how, std::vector<std::string>& seen)
      : UdpSocket(handler, 64), _how(how), _seen(seen) {}

  void OnRawData(const std::uint8_t* data, std::size_t length, const sockaddr* /*from*/,
                 std::uint32_t /*from_length*/) override {
    _seen.emplace_back(reinterpret_cast<const char*>(data), length);
    switch (_how) {
      case Ending::kDelete:
        delete this;
        return;
      case Ending::kClose:
        Close();
        return;
      case Ending::kMark:
        SetCloseAndDelete(true);
        return;
    }
  }

 private:
  Ending _how;
  std::vector<std::string>& _seen;
};

TEST(OwnershipTest, ASocketEndedByItsOwnCallbackIsNotTouchedAgainByThePass) {
  struct Case {
    const char* name;
    Ending how;
    // Datagrams delivered of the five queued.
    std::size_t delivered;
    // The calls reported in the pass. The five came in one batch, so closing finds none
    // waiting; no receive is tried on the closed descriptor ("recvfrom").
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      // Deleted while still registered: it leaves the handler at once, and the drain stops.
      {"deleted", Ending::kDelete, 1, {"Remove"}},
      {"closed", Ending::kClose, 1, {}},
      // Marked: the drain goes on, and the handler closes and deletes the socket after it.
      {"marked", Ending::kMark, 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t descriptors = OpenDescriptors();
    {
      RecordingLog log;
      SocketHandler handler(&log);
      std::vector<std::string> seen;
      auto* socket = new SelfEnding(handler, c.how, seen);
      socket->SetHandlerDeletes(c.how == Ending::kMark);
      Serve(handler, *socket, "127.10.7.1", 40000);
      const RawSender sender("127.10.7.2", "127.10.7.1");
      Queue(sender, socket->GetDescriptor(), 40000, 5);

      handler.Select(0, 0);
      EXPECT_EQ(seen.size(), c.delivered);
      std::vector<std::string> calls;
      for (const Reported& r : log.reports) calls.push_back(r.call);
      EXPECT_EQ(calls, c.calls);
      if (c.how == Ending::kClose) {
        EXPECT_EQ(socket->GetDescriptor(), -1);
        delete socket;
      } else {
        EXPECT_EQ(handler.SocketCount(), 0u);
      }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

// Ends itself when told "bye", and says when a thread of its own serves it and when it is
// let go of.
class Farewell : public UdpSocket {
 public:
  explicit Farewell(SocketHandler& handler) : UdpSocket(handler, 64) {}
  ~Farewell() override { EndOwnThread(); }

  void OnRawData(const std::uint8_t* data, std::size_t length, const sockaddr* /*from*/,
                 std::uint32_t /*from_length*/) override {
    if (std::string(reinterpret_cast<const char*>(data), length) == "bye") {
      SetCloseAndDelete(true);
    } else {
      served = true;
    }
  }
  void OnReleased() override { released = true; }

  std::atomic<bool> served{false};
  std::atomic<bool> released{false};
};

TEST(OwnershipTest, ASocketTheHandlerLetGoOfMayBeDeletedAfterIt) {
  // Who let go of the socket before its handler goes.
  enum class LetGo { kHandler, kThreadJoinedInAPass, kThreadEndedByTheHandler };
  const struct {
    const char* name;
    LetGo by;
  } cases[] = {
      {"closed by its handler", LetGo::kHandler},
      {"closed on its own thread, which a pass joins", LetGo::kThreadJoinedInAPass},
      {"still served when the handler goes", LetGo::kThreadEndedByTheHandler},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t tasks = TasksBefore();
    const std::size_t descriptors = OpenDescriptors();
    Farewell* socket = nullptr;
    {
      SocketHandler handler;
      socket = new Farewell(handler);
      const std::uint16_t port = 40000;
      Serve(handler, *socket, "127.10.8.1", port, /*detached=*/c.by != LetGo::kHandler);
      const RawSender sender("127.10.8.2", "127.10.8.1");
      if (c.by != LetGo::kHandler) {
        sender.Send(port, "hello");
        ASSERT_TRUE(WaitUntil([&] { return socket->served.load(); }, 5000ms, 1ms));
      }
      if (c.by != LetGo::kThreadEndedByTheHandler) {
        sender.Send(port, "bye");
        ASSERT_TRUE(WaitUntil(
            [&] {
              if (c.by == LetGo::kHandler) handler.Select(0, 1000);
              return socket->released.load();
            },
            5000ms, 1ms));
      }
      if (c.by == LetGo::kThreadJoinedInAPass) {
        // The thread ends once its handler is empty; the next pass joins it.
        ASSERT_TRUE(WaitUntil([&] { return Tasks() == tasks; }, 5000ms, 1ms));
        handler.Select(0, 0);
      }
    }
    // Whichever way, the socket is closed, served by no thread, and its handler is gone.
    EXPECT_EQ(socket->GetDescriptor(), -1);
    EXPECT_FALSE(socket->HasOwnThread());
    delete socket;
    EXPECT_EQ(Tasks(), tasks);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

// Notes when its first datagram was read.
class FirstRead : public UdpSocket {
 public:
  explicit FirstRead(SocketHandler& handler) : UdpSocket(handler, 64) {}
  ~FirstRead() override { EndOwnThread(); }

  void OnRawData(const std::uint8_t* /*data*/, std::size_t /*length*/, const sockaddr* /*from*/,
                 std::uint32_t /*from_length*/) override {
    Clock::rep expected = 0;
    read_at.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
  }

  std::atomic<Clock::rep> read_at{0};
};

TEST(OwnershipTest, ADetachedSocketIsServedAsSoonAsItsThreadExists) {
  // Many at once, so that threads that begin before and after their release both show.
  constexpr int kSockets = 24;
  SocketHandler handler;
  std::vector<std::unique_ptr<FirstRead>> sockets;
  for (int i = 0; i < kSockets; ++i) {
    sockets.push_back(std::make_unique<FirstRead>(handler));
    Serve(handler, *sockets.back(), "127.10.9.1", static_cast<std::uint16_t>(40000 + i));
  }
  // All handed over in one pass.
  for (const auto& socket : sockets) socket->SetThreadWanted(true);
  handler.Select(0, 0);

  const RawSender sender("127.10.9.2", "127.10.9.1");
  const Clock::time_point sent = Clock::now();
  for (int i = 0; i < kSockets; ++i) sender.Send(static_cast<std::uint16_t>(40000 + i), "first");
  ASSERT_TRUE(WaitUntil(
      [&] {
        return std::all_of(sockets.begin(), sockets.end(),
                           [](const auto& socket) { return socket->read_at.load() != 0; });
      },
      5000ms, 1ms));
  Clock::duration slowest{};
  for (const auto& socket : sockets) {
    const Clock::time_point read_at{Clock::duration(socket->read_at.load())};
    slowest = std::max(slowest, read_at - sent);
  }
  // Well below a second: a thread that began before its release notices it at once.
  EXPECT_LT(slowest, 300ms)
      << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
}

// Counts what its thread reads, slowly enough that the owner's end meets it reading.
class Counting : public UdpSocket {
 public:
  explicit Counting(SocketHandler& handler) : UdpSocket(handler, 64) {}
  // A class whose callbacks a thread of the socket's own may run ends that thread first.
  ~Counting() override { EndOwnThread(); }

  void OnRawData(const std::uint8_t* /*data*/, std::size_t /*length*/, const sockaddr* /*from*/,
                 std::uint32_t /*from_length*/) override {
    ++_read;
    std::this_thread::sleep_for(1ms);
  }

  int Read() const { return _read.load(); }

 private:
  std::atomic<int> _read{0};
};

TEST(OwnershipTest, ItsOwnerEndsADetachedSocketOnlyAfterItsThread) {
  enum class End { kClose, kDestroy };
  const struct {
    const char* name;
    End end;
  } cases[] = {{"closed", End::kClose}, {"destroyed", End::kDestroy}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t tasks = TasksBefore();
    const std::size_t descriptors = OpenDescriptors();
    {
      // The natural order: the handler, then a socket on the stack that gets detached.
      SocketHandler handler;
      Counting socket(handler);
      Serve(handler, socket, "127.10.10.1", 40000, /*detached=*/true);
      const RawSender sender("127.10.10.2", "127.10.10.1");
      for (int i = 0; i < 50; ++i) sender.Send(40000, "d");
      ASSERT_TRUE(WaitUntil([&] { return socket.Read() > 0; }, 5000ms, 1ms));

      if (c.end == End::kClose) {
        EXPECT_EQ(socket.Close(), 0);
        // Its thread is joined, and the socket is the handler's again, closed.
        EXPECT_EQ(Tasks(), tasks);
        EXPECT_EQ(socket.GetDescriptor(), -1);
        EXPECT_FALSE(socket.HasOwnThread());
      }
    }
    EXPECT_EQ(Tasks(), tasks);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

}  // namespace
}  // namespace fp::test
