#include "net/Socket.h"

#include "net/PoolSocket.h"
#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/UdpSocket.h"

#include "NetTestSupport.h"
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fp::test {
namespace {

// Records what OnDescriptorCreated is told.
class CreationProbe : public Socket {
 public:
  using Socket::Socket;
  void OnDescriptorCreated(std::int32_t family, std::int32_t type, std::int32_t protocol,
                           int descriptor) override {
    Socket::OnDescriptorCreated(family, type, protocol, descriptor);
    created.push_back({family, type, protocol, descriptor});
  }
  std::vector<std::vector<int>> created;
};

TEST(SocketTest, CloseWithoutDescriptorOnlyWarns) {
  RecordingLog log;
  SocketHandler handler(&log);
  Socket socket(handler);
  socket.SetCloseAndDelete(true);
  EXPECT_EQ(socket.Close(), 0);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0],
            (Reported{&socket, "Socket::Close", 0, "file descriptor invalid", Warning}));
  EXPECT_TRUE(socket.CloseAndDeletePending());
  EXPECT_TRUE(handler.CloseList().empty());
}

TEST(SocketTest, CloseOfConnectedDatagramSocketConsumesOneWaitingDatagram) {
  RecordingLog log;
  SocketHandler handler(&log);
  UdpPair pair(handler, "127.1.1.1", "127.1.1.2");
  const int descriptor = pair.left.GetDescriptor();
  SendQueued(pair.right, descriptor, std::string(60, 'a'));
  SendQueued(pair.right, descriptor, std::string(70, 'b'));
  handler.SetInterest(descriptor, true, false, true);
  pair.left.SetCloseAndDelete(true);
  // A second handle keeps the socket alive, so what Close left unread can still be seen.
  const int spare = dup(descriptor);
  ASSERT_NE(spare, -1);

  EXPECT_EQ(pair.left.Close(), 0);
  EXPECT_EQ(pair.left.GetDescriptor(), -1);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0],
            (Reported{&pair.left, "read() after shutdown", 60, "bytes read", Warning}));
  EXPECT_FALSE(handler.ReadInterest(descriptor));
  EXPECT_FALSE(handler.ExceptInterest(descriptor));
  EXPECT_TRUE(handler.CloseList().empty());
  EXPECT_TRUE(pair.left.CloseAndDeletePending());  // flags stay

  char buffer[200];
  EXPECT_EQ(recv(spare, buffer, sizeof buffer, MSG_DONTWAIT), 70);
  close(spare);

  // Closing again only warns.
  EXPECT_EQ(pair.left.Close(), 0);
  EXPECT_EQ(log.reports.back().text, "file descriptor invalid");
}

TEST(SocketTest, FlagSettersListTheDescriptorOnceAtTheEnd) {
  SocketHandler handler;
  UdpSocket a(handler, 16);
  UdpSocket b(handler, 16);
  const int da = a.GetDescriptor();
  const int db = b.GetDescriptor();

  a.SetCloseAndDelete(true);
  b.SetCloseAndDelete(true);
  a.SetCloseAndDelete(true);  // no change: stays first, not appended again
  EXPECT_EQ(handler.CloseList(), (std::vector<int>{da, db}));

  a.SetCallOnConnect(true);
  b.SetCallOnConnect(true);
  a.SetCallOnConnect(true);  // always re-listed, at the end
  EXPECT_EQ(handler.CallOnConnectList(), (std::vector<int>{db, da}));
  b.SetCallOnConnect(false);
  EXPECT_EQ(handler.CallOnConnectList(), std::vector<int>{da});

  a.SetConnecting(true);
  a.SetRetryClientConnect(true);
  EXPECT_EQ(handler.ConnectingList(), std::vector<int>{da});
  EXPECT_EQ(handler.RetryList(), std::vector<int>{da});
  EXPECT_FALSE(a.IsUsable());
  a.SetConnecting(false);
  EXPECT_TRUE(handler.ConnectingList().empty());

  // Without a descriptor only the flag changes.
  Socket bare(handler);
  bare.SetCloseAndDelete(true);
  bare.SetCallOnConnect(true);
  EXPECT_TRUE(bare.CloseAndDeletePending());
  EXPECT_TRUE(bare.CallOnConnect());
  EXPECT_EQ(handler.CloseList(), (std::vector<int>{da, db}));

  // Close takes the descriptor out of every list.
  a.Close();
  EXPECT_EQ(handler.CloseList(), std::vector<int>{db});
  EXPECT_TRUE(handler.CallOnConnectList().empty());
  EXPECT_TRUE(handler.RetryList().empty());
}

TEST(SocketTest, CreateDescriptorGivesOptionsToStreamsOnly) {
  RecordingLog log;
  SocketHandler handler(&log);
  CreationProbe probe(handler);

  const int datagram = probe.CreateDescriptor(AF_INET, SOCK_DGRAM, "udp");
  ASSERT_NE(datagram, -1);
  int value = -1;
  sockets::GetIntOption(datagram, SOL_SOCKET, SO_REUSEADDR, value);
  EXPECT_EQ(value, 0);
  sockets::GetIntOption(datagram, SOL_SOCKET, SO_KEEPALIVE, value);
  EXPECT_EQ(value, 0);

  const int stream = probe.CreateDescriptor(AF_INET, SOCK_STREAM, "tcp");
  ASSERT_NE(stream, -1);
  sockets::GetIntOption(stream, SOL_SOCKET, SO_REUSEADDR, value);
  EXPECT_EQ(value, 1);
  sockets::GetIntOption(stream, SOL_SOCKET, SO_KEEPALIVE, value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(probe.SocketType(), SOCK_STREAM);
  EXPECT_EQ(probe.ProtocolName(), "tcp");

  EXPECT_EQ(probe.created,
            (std::vector<std::vector<int>>{{AF_INET, SOCK_DGRAM, IPPROTO_UDP, datagram},
                                           {AF_INET, SOCK_STREAM, IPPROTO_TCP, stream}}));
  EXPECT_TRUE(log.reports.empty());
  EXPECT_FALSE(probe.CloseAndDeletePending());
  close(datagram);
  close(stream);
}

TEST(SocketTest, CreateDescriptorWithUnknownProtocolFails) {
  RecordingLog log;
  SocketHandler handler(&log);
  UdpSocket socket(handler, 16);  // has a descriptor, so the close list would show a change
  EXPECT_EQ(socket.CreateDescriptor(AF_INET, SOCK_DGRAM, "no-such-protocol"), -1);
  ASSERT_EQ(log.reports.size(), 1u);
  EXPECT_EQ(log.reports[0], (Reported{&socket, "getprotobyname", 11004,
                                      "Valid name, no data record of requested type.", Fatal}));
  EXPECT_TRUE(socket.CloseAndDeletePending());

  Socket bare(handler);
  EXPECT_EQ(bare.CreateDescriptor(AF_INET, SOCK_DGRAM, "no-such-protocol"), -1);
  EXPECT_TRUE(bare.CloseAndDeletePending());
  EXPECT_EQ(handler.CloseList(), std::vector<int>{socket.GetDescriptor()});
}

TEST(SocketTest, PoolSocketEndsItsIdleConnectionWhenDataArrives) {
  RecordingLog log;
  SocketHandler handler(&log);
  UdpPair pair(handler, "127.1.2.1", "127.1.2.2");
  auto* pool = new PoolSocket(handler, pair.left);
  pair.left.AttachDescriptor(-1);  // the descriptor now belongs to the pool socket
  pool->SetHandlerDeletes(true);
  EXPECT_TRUE(pool->IsOutgoing());
  pool->SetKeepForPool(true);
  EXPECT_TRUE(pool->KeepForPool());
  pair.right.SetKeepForPool(true);  // not an outgoing connection: refused
  EXPECT_FALSE(pair.right.KeepForPool());
  pool->SetKeepForPool(false);

  const int d = pool->GetDescriptor();
  handler.Add(pool);
  SendQueued(pair.right, d, "wake up");
  const std::size_t open = OpenDescriptors();
  const Reported expected{pool, "OnRead", 0, "data on hibernating socket", Fatal};
  handler.Select(1, 0);
  ASSERT_FALSE(log.reports.empty());
  EXPECT_EQ(log.reports[0], expected);
  EXPECT_EQ(handler.FindSocket(d), nullptr);
  EXPECT_EQ(handler.SocketCount(), 0u);
  EXPECT_EQ(OpenDescriptors(), open - 1);
}

}  // namespace
}  // namespace fp::test
