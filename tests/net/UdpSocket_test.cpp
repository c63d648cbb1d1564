#include "net/UdpSocket.h"

#include "net/SocketHandler.h"
#include "net/SocketOps.h"

#include "NetTestSupport.h"
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <thread>

namespace fp::test {
namespace {

// Each test's handler, with a log of its reports.
class UdpSocketTest : public ::testing::Test {
 protected:
  RecordingLog log;
  SocketHandler handler{&log};
};

TEST_F(UdpSocketTest, BindFallsBackToNextPortAndFailsWhenBothAreTaken) {
  const std::uint32_t address = Ip("127.1.40.1");
  UdpSocket holder(handler, 1032);
  std::uint16_t port = 41000;
  ASSERT_EQ(holder.Bind(address, port, /*range=*/0), 0);
  EXPECT_EQ(holder.GetPort(), 41000);

  UdpSocket next(handler, 1032);
  port = 41000;
  EXPECT_EQ(next.Bind(address, port, /*range=*/1), 0);
  EXPECT_EQ(port, 41001);
  EXPECT_EQ(next.GetPort(), 41001);
  EXPECT_TRUE(log.reports.empty());

  auto* loser = new UdpSocket(handler, 1032);
  loser->SetHandlerDeletes(true);
  port = 41000;
  EXPECT_EQ(loser->Bind(address, port, /*range=*/1), -1);
  EXPECT_EQ(port, 41001);
  EXPECT_EQ(loser->GetPort(), 0);
  EXPECT_TRUE(loser->CloseAndDeletePending());
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0], (Reported{loser, "bind", 10048, "Address already in use.", Fatal}));

  // The handler closes and deletes the failed socket in the pass after it is added.
  const std::size_t open = OpenDescriptors();
  handler.Add(loser);
  handler.Select(0, 0);
  EXPECT_EQ(handler.SocketCount(), 0u);
  EXPECT_EQ(OpenDescriptors(), open - 1);
}

TEST_F(UdpSocketTest, BindNeverWrapsPastTheLastPort) {
  const std::uint32_t address = Ip("127.1.41.1");
  UdpSocket holder(handler, 1032);
  std::uint16_t port = 65535;
  ASSERT_EQ(holder.Bind(address, port, 0), 0);

  UdpSocket late(handler, 1032);
  port = 65535;
  EXPECT_EQ(late.Bind(address, port, /*range=*/5), -1);
  EXPECT_EQ(port, 65535);
  EXPECT_EQ(late.GetPort(), 0);

  // Port 0 asks the system for a port; the caller learns which.
  UdpSocket any(handler, 1032);
  port = 0;
  EXPECT_EQ(any.Bind(address, port, 0), 0);
  EXPECT_NE(port, 0);
  EXPECT_EQ(any.GetPort(), port);
}

TEST_F(UdpSocketTest, SendBeforeOpenIsRefusedAndAnEmptyQueueReportsNothing) {
  UdpSocket unopened(handler, 1032);
  std::uint16_t port = 40000;
  ASSERT_EQ(unopened.Bind(Ip("127.1.42.1"), port, 0), 0);
  unopened.SendText("hello", 0);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0], (Reported{&unopened, "SendBuf", 0, "not connected", Error}));

  log.reports.clear();
  unopened.OnRead();  // nothing waiting: one receive, would-block, silence
  EXPECT_TRUE(log.reports.empty());
}

TEST_F(UdpSocketTest, DeliversOneBatchPerReadinessInOrderAndTheRestNextPass) {
  UdpPair pair(handler, "127.1.43.1", "127.1.43.2");
  handler.Add(&pair.left);
  const int batch = static_cast<int>(UdpSocket::kReceiveBatch);
  for (int i = 0; i <= batch; ++i) {
    SendQueued(pair.right, pair.left.GetDescriptor(), "datagram " + std::to_string(i));
  }

  EXPECT_EQ(handler.Select(1, 0), 0);
  ASSERT_EQ(pair.left.received.size(), UdpSocket::kReceiveBatch);
  for (int i = 0; i < batch; ++i) {
    EXPECT_EQ(pair.left.received[static_cast<std::size_t>(i)], "datagram " + std::to_string(i));
  }
  EXPECT_EQ(pair.left.from_lengths[0], 16u);
  sockaddr_in from;
  std::memcpy(&from, &pair.left.last_from, sizeof from);
  EXPECT_EQ(from.sin_addr.s_addr, Ip("127.1.43.2"));
  EXPECT_EQ(ntohs(from.sin_port), 40001);

  EXPECT_EQ(handler.Select(1, 0), 0);
  ASSERT_EQ(pair.left.received.size(), UdpSocket::kReceiveBatch + 1);
  EXPECT_EQ(pair.left.received.back(), "datagram " + std::to_string(batch));
  EXPECT_TRUE(log.reports.empty());
}

// Neither a zero-length datagram nor one too long for the buffer reaches OnRawData; the one
// too long is reported. The datagrams around them are delivered in order.
TEST_F(UdpSocketTest, EmptyAndOversizeDatagramsAreNeverDelivered) {
  UdpPair pair(handler, "127.1.44.1", "127.1.44.2", /*size=*/1032);
  handler.Add(&pair.left);
  for (const std::string& datagram :
       {std::string("first"), std::string(), std::string(1033, 'x'), std::string(1032, 'y')}) {
    SendQueued(pair.right, pair.left.GetDescriptor(), datagram);
  }

  handler.Select(1, 0);
  EXPECT_EQ(pair.left.received, (std::vector<std::string>{"first", std::string(1032, 'y')}));
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0], (Reported{&pair.left, "recvfrom", 10040, "Message too long.", Error}));
}

TEST_F(UdpSocketTest, PortUnreachableShowsAsReadableAndIsReported) {
  UdpSocket lonely(handler, 1032);
  std::uint16_t port = 40000;
  ASSERT_EQ(lonely.Bind(Ip("127.1.46.1"), port, 0), 0);
  ASSERT_TRUE(lonely.Open(Ip("127.1.46.2"), 40001));  // nobody listens there
  handler.Add(&lonely);
  lonely.SendText("anyone?", 0);
  for (int pass = 0; pass < 20 && log.reports.empty(); ++pass) handler.Select(0, 100000);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0],
            (Reported{&lonely, "recvfrom", 10054, "Connection reset by peer.", Error}));
}

TEST_F(UdpSocketTest, ReceiveBufferRequestReportsWhatItGets) {
  UdpSocket socket(handler, 1032);
  for (const std::int32_t asked : {1 << 16, 1 << 28}) {
    log.reports.clear();
    const std::int32_t granted = socket.RequestReceiveBuffer(asked);
    int actual = 0;
    ASSERT_EQ(sockets::GetIntOption(socket.GetDescriptor(), SOL_SOCKET, SO_RCVBUF, actual), 0);
    EXPECT_EQ(granted, actual);
    if (granted >= asked) {
      EXPECT_TRUE(log.reports.empty());
    } else {
      ASSERT_EQ(log.reports.size(), 1u);
      EXPECT_EQ(log.reports[0].call, "setsockopt(SOL_SOCKET, SO_RCVBUF)");
      EXPECT_EQ(log.reports[0].code, granted);
      EXPECT_EQ(log.reports[0].level, Warning);
      EXPECT_NE(log.reports[0].text.find("net.core.rmem_max"), std::string::npos);
    }
  }

  log.reports.clear();
  socket.Close();
  log.reports.clear();
  EXPECT_EQ(socket.RequestReceiveBuffer(1 << 16), -1);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0], (Reported{&socket, "setsockopt(SOL_SOCKET, SO_RCVBUF)", 10038,
                                      "Socket operation on nonsocket.", Error}));
}

TEST_F(UdpSocketTest, NoPathLeavesADescriptorOpen) {
  const std::size_t before = OpenDescriptors();
  auto owner = std::make_unique<SocketHandler>();
  auto pair = std::make_unique<UdpPair>(*owner, "127.1.47.1", "127.1.47.2");
  owner->Add(&pair->left);
  owner->Add(&pair->right);
  owner->Select(0, 0);
  auto* owned = new UdpSocket(*owner, 1032);
  owned->SetHandlerDeletes(true);
  owner->Add(owned);
  auto* failed = new UdpSocket(*owner, 1032);
  std::uint16_t taken = 40000;
  EXPECT_EQ(failed->Bind(Ip("127.1.47.1"), taken, 0), -1);
  delete failed;  // never added, but listed for closing
  owner->Select(0, 0);
  auto* queued = new UdpSocket(*owner, 1032);
  owner->Add(queued);
  delete queued;  // still in the add queue
  // The three live sockets and the handler's wake event.
  EXPECT_EQ(OpenDescriptors(), before + 4);

  // The handler goes first; its sockets are closed, and their owner deletes them afterwards.
  owner.reset();
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(pair->left.GetDescriptor(), -1);
  pair.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

// The layer keeps no state shared between handlers, so each thread may run its own.
TEST_F(UdpSocketTest, HandlersOnSeparateThreadsShareNothing) {
  auto exchange = [](const char* a, const char* b, std::size_t& delivered) {
    SocketHandler own;
    UdpPair pair(own, a, b);
    own.Add(&pair.left);
    for (int round = 0; round < 50; ++round) {
      UdpSocket fresh(own, 16);  // creation and closing race with the other thread
      pair.right.SendText("round", 0);
      own.Select(0, 200000);
    }
    for (int pass = 0; pass < 20 && pair.left.received.size() < 50; ++pass) {
      own.Select(0, 100000);
    }
    delivered = pair.left.received.size();
  };
  std::size_t first = 0;
  std::size_t second = 0;
  std::thread one(exchange, "127.1.48.1", "127.1.48.2", std::ref(first));
  std::thread two(exchange, "127.1.49.1", "127.1.49.2", std::ref(second));
  one.join();
  two.join();
  EXPECT_EQ(first, 50u);
  EXPECT_EQ(second, 50u);
}

}  // namespace
}  // namespace fp::test
