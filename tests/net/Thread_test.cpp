#include "net/Thread.h"

#include "net/SocketHandler.h"
#include "net/SocketThread.h"
#include "net/TcpSocket.h"
#include "net/UdpSocket.h"

#include "NetTestSupport.h"
#include "StreamPeers.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fp::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Notes that its body ran, and runs until asked to end.
class Probe : public Thread {
 public:
  explicit Probe(std::atomic<bool>& executed) : _executed(executed) {}
  ~Probe() override { StopAndJoin(); }

  void Execute() override {
    _executed = true;
    while (IsRunning()) std::this_thread::sleep_for(1ms);
  }

 private:
  std::atomic<bool>& _executed;
};

TEST(ThreadTest, BodyRunsOnlyOnceReleasedAndTheDestructorWaitsForIt) {
  const std::size_t tasks = TasksBefore();
  std::atomic<bool> waiting_ran{false};
  std::atomic<bool> released_ran{false};
  auto waiting = std::make_unique<Probe>(waiting_ran);
  auto released = std::make_unique<Probe>(released_ran);
  EXPECT_EQ(Tasks(), tasks + 2);
  EXPECT_NE(released->GetThreadId(), std::this_thread::get_id());
  released->SetRelease(true);
  waiting.reset();  // never released: its thread ends without the body
  EXPECT_FALSE(waiting_ran);
  ASSERT_TRUE(WaitUntil([&] { return released_ran.load(); }, 5s));
  EXPECT_TRUE(released->IsRunning());
  released.reset();  // asks the body to end and joins it
  EXPECT_EQ(Tasks(), tasks);
}

// What a detached socket's callbacks saw, shared with the test's thread.
struct Served {
  std::mutex mutex;
  std::thread::id started_on;
  std::vector<std::thread::id> served_on;
  std::thread::id deleted_on;
  std::atomic<bool> connected{false};
  std::atomic<bool> deleted{false};
};

// Sends back what it receives, and asks to be closed on "bye".
class Detached : public TcpSocket {
 public:
  Detached(SocketHandler& handler, Served& served) : TcpSocket(handler), _served(served) {}
  ~Detached() override {
    const std::lock_guard<std::mutex> lock(_served.mutex);
    _served.deleted_on = std::this_thread::get_id();
    _served.deleted = true;
  }

  void OnConnect() override { _served.connected = true; }
  void OnThreadStarted() override {
    const std::lock_guard<std::mutex> lock(_served.mutex);
    _served.started_on = std::this_thread::get_id();
  }

 protected:
  void OnInput() override {
    const std::string input = TakeInput();
    {
      const std::lock_guard<std::mutex> lock(_served.mutex);
      _served.served_on.push_back(std::this_thread::get_id());
    }
    if (input == "bye") {
      SetCloseAndDelete(true);
    } else {
      SendText(input, 0);
    }
  }

 private:
  Served& _served;
};

TEST(ThreadTest, DetachedSocketIsServedByItsOwnThreadWhichThenDeletesItself) {
  const std::size_t descriptors = OpenDescriptors();
  const std::size_t tasks = TasksBefore();
  {
    RecordingLog log;
    SocketHandler handler(&log);
    StreamPeer peer("127.10.2.1", 40000, /*echo=*/false);
    Served served;
    auto* socket = new Detached(handler, served);
    socket->SetHandlerDeletes(true);
    ASSERT_TRUE(socket->Open(Ip("127.10.2.1"), 40000));
    handler.Add(socket);
    ASSERT_TRUE(Pump(handler, [&] { return served.connected.load(); }, {&peer}));
    const int d = socket->GetDescriptor();

    socket->SetThreadWanted(true);
    EXPECT_EQ(handler.DetachList(), std::vector<int>{d});
    handler.Select(0, 0);
    // Handed over: from here on the socket belongs to its thread, and this handler forgot it.
    EXPECT_EQ(handler.FindSocket(d), nullptr);
    EXPECT_EQ(handler.SocketCount(), 0u);
    EXPECT_TRUE(handler.DetachList().empty());
    EXPECT_FALSE(handler.ReadInterest(d));
    EXPECT_EQ(Tasks(), tasks + 1);

    peer.Send(0, "ping");
    ASSERT_TRUE(WaitUntil(
        [&] {
          peer.Step();
          return peer.connections[0].received == "ping";
        },
        5s, 1ms));
    peer.Send(0, "bye");
    // The socket shuts its sending down, the peer closes, the socket's handler closes and
    // deletes it, and the thread, its handler empty, ends; the handler that started it joins
    // and deletes it in its next pass.
    ASSERT_TRUE(WaitUntil(
        [&] {
          peer.Step();
          return served.deleted.load();
        },
        5s, 1ms));
    ASSERT_TRUE(WaitUntil([&] { return Tasks() == tasks; }, 5s));
    EXPECT_TRUE(peer.connections[0].ended);

    const std::lock_guard<std::mutex> lock(served.mutex);
    EXPECT_NE(served.started_on, std::this_thread::get_id());
    EXPECT_EQ(served.served_on,
              (std::vector<std::thread::id>{served.started_on, served.started_on}));
    EXPECT_EQ(served.deleted_on, served.started_on);
    handler.Select(0, 0);
    EXPECT_EQ(handler.SocketCount(), 0u);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// A datagram socket that says when a thread of its own has begun to serve it.
class Announcing : public UdpSocket {
 public:
  using UdpSocket::UdpSocket;
  void OnThreadStarted() override { started = true; }
  std::atomic<bool> started{false};
};

TEST(ThreadTest, DeletingARunningSocketThreadWakesItsPassAndJoinsIt) {
  const std::size_t tasks = TasksBefore();
  SocketHandler handler;
  Announcing socket(handler, 16);
  auto thread = std::make_unique<SocketThread>(socket);
  thread->SetRelease(true);
  ASSERT_TRUE(WaitUntil([&] { return socket.started.load(); }, 5s));
  const Clock::time_point start = Clock::now();
  thread.reset();
  // Its pass of half a second is woken, not waited out.
  EXPECT_LT(Clock::now() - start, 400ms);
  EXPECT_EQ(Tasks(), tasks);
  // Its private handler closed the socket and handed it back.
  EXPECT_EQ(socket.GetDescriptor(), -1);
  EXPECT_FALSE(socket.HasOwnThread());
}

}  // namespace
}  // namespace fp::test
