#include "net/TcpSocket.h"

#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/UdpSocket.h"

#include "NetTestSupport.h"
#include "StreamPeers.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace fp::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Each test's handler, with a log of its reports and a journal of its client's calls. Every
// descriptor the test opens is closed again once the test and its handler have gone.
class TcpSocketTest : public ::testing::Test {
 protected:
  DescriptorsClosed descriptors;  // first, so checked last
  RecordingLog log;
  SocketHandler handler{&log};
  std::vector<std::string> journal;

  // Opens `client` to `peer`, listening on `address`:40000, adds it and runs passes until the
  // connection is made.
  void Connect(Client& client, const char* address, StreamPeer& peer) {
    ASSERT_TRUE(client.Open(Ip(address), 40000));
    handler.Add(&client);
    ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&peer}));
  }
};

TEST_F(TcpSocketTest, PendingConnectIsEstablishedAndCallsOnConnectOnce) {
  StreamPeer echo("127.9.1.1", 40000);
  Client client(handler, journal);
  ASSERT_TRUE(client.Open(Ip("127.9.1.1"), 40000));
  EXPECT_TRUE(client.IsConnecting());
  EXPECT_EQ(log.reports, (std::vector<Reported>{{&client, "connect: connection pending", 10035,
                                                 "Resource temporarily unavailable.", Info}}));
  client.SendText("hello", 0);  // waits for the connection
  handler.Add(&client);

  ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&echo}));
  EXPECT_TRUE(client.IsPeerConnected());
  EXPECT_FALSE(client.IsConnecting());
  EXPECT_TRUE(HasReport(log, {&client, "Calling OnConnect", 0, "Because CallOnConnect", Info}));
  ASSERT_TRUE(Pump(handler, [&] { return client.received == "hello"; }, {&echo}));
  client.SendText(" again", 0);
  ASSERT_TRUE(Pump(handler, [&] { return client.received == "hello again"; }, {&echo}));
  EXPECT_EQ(journal, std::vector<std::string>{"connect"});
  EXPECT_EQ(CountCalls(log, "Calling OnConnect"), 1u);
  EXPECT_EQ(echo.connections.size(), 1u);
}

TEST_F(TcpSocketTest, ConnectFailuresWithAndWithoutAReconnectWanted) {
  // Refused by the peer's system, with or without a reconnect wanted: the connect fails in
  // a pass, and the socket is closed.
  for (const bool reconnect : {false, true}) {
    journal.clear();
    log.reports.clear();
    Client refused(handler, journal);
    refused.SetReconnect(reconnect);
    ASSERT_TRUE(refused.Open(Ip("127.9.2.1"), 40000));
    handler.Add(&refused);
    ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "released"); }));
    EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
    EXPECT_TRUE(HasReport(log, {&refused, "connect failed", 10061, "Connection refused.", Fatal}));
    EXPECT_EQ(refused.GetDescriptor(), -1);
  }

  // A connect that fails at once (no route to a multicast group, and nothing is sent).
  journal.clear();
  log.reports.clear();
  Client at_once(handler, journal);
  EXPECT_FALSE(at_once.Open(Ip("224.0.0.1"), 40000));
  EXPECT_EQ(log.reports, (std::vector<Reported>{{&at_once, "connect: failed", 10051,
                                                 "Network is unreachable.", Fatal}}));
  EXPECT_TRUE(at_once.CloseAndDeletePending());
  EXPECT_EQ(at_once.GetDescriptor(), -1);

  // With a reconnect wanted the socket stays connecting, to be retried after its connect
  // time-out. Its descriptor turns writable, but it has no connection and is never taken for
  // one.
  log.reports.clear();
  Client pending(handler, journal);
  pending.SetReconnect(true);
  pending.SetRetriesAllowed(1);
  pending.SetConnectTimeout(1);
  ASSERT_TRUE(pending.Open(Ip("224.0.0.1"), 40000));
  EXPECT_EQ(log.reports, (std::vector<Reported>{{&pending, "connect: failed, reconnect pending",
                                                 10051, "Network is unreachable.", Info}}));
  EXPECT_TRUE(pending.IsConnecting());
  handler.Add(&pending);
  ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "released"); }));
  EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
  EXPECT_TRUE(
      HasReport(log, {&pending, "connect failed", 10057, "Socket is not connected.", Fatal}));
  EXPECT_TRUE(HasReport(log, {&pending, "connect", -1, "connect timeout", Fatal}));
  EXPECT_EQ(CountCalls(log, "connect: failed, reconnect pending"), 2u);
  EXPECT_EQ(pending.RetriesMade(), 1);
  EXPECT_EQ(CountCalls(log, "Calling OnConnect"), 0u);
}

// Fills the send path of a connected socket whose peer reads nothing, so that what is sent
// next has to wait: sends until the connection takes nothing more, even after 200 ms.
void FillSendPath(int descriptor) {
  sockets::SetIntOption(descriptor, SOL_SOCKET, SO_SNDBUF, 4096);
  const std::string chunk(65536, 'f');
  for (int round = 0; round < 100; ++round) {
    while (sockets::Send(descriptor, chunk.data(), chunk.size(), 0) > 0) {
    }
    pollfd entry{descriptor, POLLOUT, 0};
    if (poll(&entry, 1, 200) == 0) {
      // Settled; a little room may still be left below the writable mark.
      while (sockets::Send(descriptor, "f", 1, 0) > 0) {
      }
      return;
    }
  }
  FAIL() << "the send path never filled";
}

TEST_F(TcpSocketTest, GracefulCloseWaitsFiveSecondsForOutputThatCannotLeave) {
  StreamPeer sink("127.9.3.1", 40000, /*echo=*/false, /*receive_buffer=*/4096);
  Client client(handler, journal);
  ASSERT_NO_FATAL_FAILURE(Connect(client, "127.9.3.1", sink));
  const int d = client.GetDescriptor();
  FillSendPath(d);  // the sink is not stepped any more: it reads nothing
  client.SendText("0123456789", 0);
  ASSERT_EQ(client.OutputPending(), 10u);

  log.reports.clear();
  client.SetCloseAndDelete(true);
  const Clock::time_point marked = Clock::now();
  int passes = 0;
  while (handler.FindSocket(d) == &client && Clock::now() - marked < 10s) {
    handler.Select(0, 200000);
    ++passes;
  }
  const auto waited = Clock::now() - marked;
  // Closed in the first pass from 5 seconds on.
  EXPECT_GE(waited, 5s);
  EXPECT_LT(waited, 10s);
  ASSERT_EQ(log.reports.size(), static_cast<std::size_t>(passes));
  const Reported sending{&client, "Closing", 10, "Sending all data before closing", Info};
  for (int i = 0; i + 1 < passes; ++i) EXPECT_EQ(log.reports[static_cast<std::size_t>(i)], sending);
  EXPECT_EQ(
      log.reports.back(),
      (Reported{&client, "Closing", 10, "Closing socket while data still left to send", Warning}));
  EXPECT_EQ(client.GetDescriptor(), -1);
  EXPECT_EQ(journal, (std::vector<std::string>{"connect", "released"}));
}

TEST_F(TcpSocketTest, GracefulCloseEndsWhenThePeerClosesToo) {
  StreamPeer echo("127.9.4.1", 40000);
  Client client(handler, journal);
  ASSERT_NO_FATAL_FAILURE(Connect(client, "127.9.4.1", echo));
  const int d = client.GetDescriptor();

  // The socket shuts its sending down; the peer sees the end and closes; the socket is then
  // closed at once instead of waiting out its 5 seconds.
  client.SetCloseAndDelete(true);
  const Clock::time_point marked = Clock::now();
  ASSERT_TRUE(Pump(handler, [&] { return handler.FindSocket(d) == nullptr; }, {&echo}));
  EXPECT_LT(Clock::now() - marked, 4s);
  EXPECT_EQ(client.ShutdownDone(), 1);
  EXPECT_TRUE(echo.connections[0].ended);
  EXPECT_EQ(CountCalls(log, "Closing"), 0u);
  EXPECT_EQ(journal, (std::vector<std::string>{"connect", "released"}));
}

TEST_F(TcpSocketTest, ConnectTimingOutThreeTimesIsRetriedTwiceThenFails) {
  FullListener never("127.9.5.1", 40000);
  Client client(handler, journal);
  client.SetRetriesAllowed(2);
  client.SetConnectTimeout(1);  // the retries, not the time-out, are under test here
  ASSERT_TRUE(client.Open(Ip("127.9.5.1"), 40000));
  handler.Add(&client);
  std::vector<std::int32_t> retries_seen;
  ASSERT_TRUE(Pump(
      handler,
      [&] {
        if (retries_seen.empty() || retries_seen.back() != client.RetriesMade()) {
          retries_seen.push_back(client.RetriesMade());
        }
        return Logged(journal, "failure");
      },
      {}, 15s));
  EXPECT_EQ(retries_seen, (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
  EXPECT_EQ(CountCalls(log, "connect"), 3u);  // "connect timeout", three times
  EXPECT_EQ(CountCalls(log, "connect: connection pending"), 3u);
  EXPECT_EQ(client.GetDescriptor(), -1);
}

TEST_F(TcpSocketTest, ConnectThatNeverCompletesTimesOutAfterFiveSeconds) {
  FullListener never("127.9.6.1", 40000);
  Client client(handler, journal);
  ASSERT_TRUE(client.Open(Ip("127.9.6.1"), 40000));
  handler.Add(&client);
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(Pump(
      handler, [&] { return Logged(journal, "failure"); }, {}, 15s));
  EXPECT_GE(Clock::now() - start, 5s);
  EXPECT_TRUE(HasReport(log, {&client, "connect", -1, "connect timeout", Fatal}));
  EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
}

TEST_F(TcpSocketTest, OpenFailsWhenTheHandlerKnows64Sockets) {
  std::vector<std::unique_ptr<UdpSocket>> sockets;
  for (int i = 0; i < 64; ++i) {
    sockets.push_back(std::make_unique<UdpSocket>(handler, 16));
    handler.Add(sockets.back().get());
  }
  Client client(handler, journal);
  EXPECT_FALSE(client.Open(Ip("127.9.7.1"), 40000));
  EXPECT_EQ(log.reports,
            (std::vector<Reported>{{&client, "Open", 0, "no space left in fd_set", Fatal}}));
  EXPECT_TRUE(client.CloseAndDeletePending());
  EXPECT_EQ(client.GetDescriptor(), -1);
}

TEST_F(TcpSocketTest, ReconnectsWhenThePeerClosesTheConnection) {
  StreamPeer echo("127.9.8.1", 40000);
  Client client(handler, journal);
  client.SetReconnect(true);
  ASSERT_NO_FATAL_FAILURE(Connect(client, "127.9.8.1", echo));

  echo.Close(0);
  const Clock::time_point closed = Clock::now();
  ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "reconnected"); }, {&echo}));
  EXPECT_LT(Clock::now() - closed, 4s);  // no graceful wait on a connection already ended
  EXPECT_EQ(journal, (std::vector<std::string>{"connect", "lost", "reconnected"}));
  EXPECT_EQ(echo.connections.size(), 2u);
  EXPECT_FALSE(client.IsReconnecting());
  EXPECT_EQ(CountCalls(log, "Calling OnConnect"), 1u);

  client.SendText("again", 0);
  ASSERT_TRUE(Pump(handler, [&] { return client.received == "again"; }, {&echo}));
  EXPECT_EQ(echo.connections[1].received, "again");
}

TEST_F(TcpSocketTest, PooledConnectionIsTakenAgainAndEndsWhenDataArrivesWhileIdle) {
  handler.SetPooling(true);
  StreamPeer echo("127.9.9.1", 40000);
  Client first(handler, journal);
  ASSERT_NO_FATAL_FAILURE(Connect(first, "127.9.9.1", echo));
  const int d = first.GetDescriptor();

  // Kept, not closed: no shutdown, and the descriptor goes to a pool socket.
  first.SetKeepForPool(true);
  first.SetCloseAndDelete(true);
  handler.Select(0, 0);
  EXPECT_EQ(journal, (std::vector<std::string>{"connect", "released"}));
  EXPECT_EQ(first.GetDescriptor(), -1);
  EXPECT_EQ(first.ShutdownDone(), 0);
  EXPECT_EQ(handler.SocketCount(), 1u);

  journal.clear();
  log.reports.clear();
  Client second(handler, journal);
  ASSERT_TRUE(second.Open(Ip("127.9.9.1"), 40000));
  EXPECT_EQ(second.GetDescriptor(), d);
  EXPECT_EQ(
      log.reports,
      (std::vector<Reported>{{&second, "SetCallOnConnect", 0, "Found pooled connection", Info}}));
  handler.Add(&second);
  ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&echo}));
  EXPECT_EQ(journal, std::vector<std::string>{"connect"});
  second.SendText("reused", 0);
  ASSERT_TRUE(Pump(handler, [&] { return second.received == "reused"; }, {&echo}));
  EXPECT_EQ(echo.connections.size(), 1u);
  EXPECT_EQ(handler.FindSocket(d), &second);

  // Idle in the pool again; the peer speaks, and the idle connection ends.
  second.SetKeepForPool(true);
  second.SetCloseAndDelete(true);
  handler.Select(0, 0);
  handler.Select(0, 0);
  log.reports.clear();
  echo.Send(0, "unexpected");
  ASSERT_TRUE(Pump(handler, [&] { return handler.SocketCount() == 0; }, {&echo}));
  ASSERT_FALSE(log.reports.empty());
  log.reports[0].socket = nullptr;
  EXPECT_EQ(log.reports[0], (Reported{nullptr, "OnRead", 0, "data on hibernating socket", Fatal}));
  ASSERT_TRUE(Pump(handler, [&] { return echo.connections[0].ended; }, {&echo}));
}

TEST_F(TcpSocketTest, InputStopsAtItsLimitUntilItIsTaken) {
  StreamPeer source("127.9.12.1", 40000, /*echo=*/false);
  TcpSocket reader(handler);  // takes nothing by itself
  ASSERT_TRUE(reader.Open(Ip("127.9.12.1"), 40000));
  handler.Add(&reader);
  ASSERT_TRUE(Pump(handler, [&] { return reader.IsPeerConnected(); }, {&source}));
  const int d = reader.GetDescriptor();

  const std::size_t total = 16 * TcpSocket::kInputLimit;  // more than the kernel buffers hold
  const std::string chunk(65536, 'i');
  std::size_t sent = 0;
  const auto feed = [&] {
    while (sent < total) {
      const long n = send(source.connections[0].descriptor, chunk.data(),
                          std::min(chunk.size(), total - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    return !handler.ReadInterest(d);
  };
  ASSERT_TRUE(Pump(handler, feed));
  EXPECT_GE(reader.InputPending(), TcpSocket::kInputLimit);
  EXPECT_LT(sent, total);  // the rest waits with the peer
  for (int pass = 0; pass < 5; ++pass) handler.Select(0, 10000);
  EXPECT_LT(reader.InputPending(), TcpSocket::kInputLimit + 65536);

  std::size_t taken = reader.TakeInput().size();
  EXPECT_TRUE(handler.ReadInterest(d));
  ASSERT_TRUE(Pump(
      handler,
      [&] {
        feed();
        taken += reader.TakeInput().size();
        return taken == total;
      },
      {}, 20s));
}

TEST_F(TcpSocketTest, ConnectsThroughAGrantingSocks4Server) {
  handler.SetSocks4Server(Ip("127.9.10.1"), 41080, "probe");
  Socks4Peer socks("127.9.10.1", 41080, /*reply_code=*/90);
  Client client(handler, journal);
  ASSERT_TRUE(client.Open(Ip("127.9.10.2"), 40000));  // the server stands in for the target
  ASSERT_FALSE(log.reports.empty());
  EXPECT_EQ(log.reports[0],
            (Reported{&client, "Open", 0, "Connecting to socks4 server @127.9.10.1:41080", Info}));
  EXPECT_TRUE(client.ViaProxy());
  client.SendText("through", 0);  // waits for the server's grant
  handler.Add(&client);

  ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&socks}));
  EXPECT_EQ(journal, std::vector<std::string>{"connect"});
  ASSERT_EQ(socks.requests.size(), 1u);
  EXPECT_EQ(socks.requests[0].version, 4);
  EXPECT_EQ(socks.requests[0].command, 1);
  EXPECT_EQ(socks.requests[0].port, 40000);
  EXPECT_EQ(socks.requests[0].address, Ip("127.9.10.2"));
  EXPECT_EQ(socks.requests[0].user, "probe");
  EXPECT_TRUE(HasReport(
      log, {&client, "OnSocks4Read", 90, "Connection established through socks4 server", Info}));
  EXPECT_FALSE(client.ViaProxy());
  EXPECT_TRUE(client.IsPeerConnected());
  ASSERT_TRUE(Pump(handler, [&] { return client.received == "through"; }, {&socks}));
  EXPECT_EQ(socks.connections[0].received.substr(socks.connections[0].received.size() - 7),
            "through");
}

TEST_F(TcpSocketTest, Socks4RefusalFailsUnlessTheHandlerFallsBack) {
  Socks4Peer refusing("127.9.11.1", 41080, /*reply_code=*/91);
  StreamPeer target("127.9.11.2", 40000);
  std::vector<StreamPeer*> peers{&refusing, &target};

  // Refused, no fallback: the connect fails.
  {
    handler.SetSocks4Server(Ip("127.9.11.1"), 41080);
    Client client(handler, journal);
    ASSERT_TRUE(client.Open(Ip("127.9.11.2"), 40000));
    handler.Add(&client);
    ASSERT_TRUE(Pump(
        handler, [&] { return Logged(journal, "released"); }, peers));
    EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
    EXPECT_TRUE(HasReport(
        log, {&client, "OnSocks4Read", 91, "socks4 server refused the connection", Fatal}));
    EXPECT_TRUE(target.connections.empty());
  }

  // Refused, or the server not even reachable, with the fallback: straight to the target.
  for (const char* server : {"127.9.11.1", "127.9.11.3"}) {
    journal.clear();
    RecordingLog fallback_log;
    SocketHandler fallback(&fallback_log);
    fallback.SetSocks4Server(Ip(server), 41080);
    fallback.SetSocks4Fallback(true);
    Client client(fallback, journal);
    ASSERT_TRUE(client.Open(Ip("127.9.11.2"), 40000));
    fallback.Add(&client);
    const std::size_t reached = target.connections.size();
    ASSERT_TRUE(Pump(
        fallback, [&] { return !journal.empty(); }, peers))
        << server;
    EXPECT_EQ(journal, std::vector<std::string>{"connect"}) << server;
    EXPECT_TRUE(HasReport(fallback_log, {&client, "OnSocks4ConnectFailed", 0,
                                         "Connecting without socks4 server", Info}));
    EXPECT_EQ(target.connections.size(), reached + 1);
    client.SendText("direct", 0);
    ASSERT_TRUE(Pump(
        fallback, [&] { return client.received == "direct"; }, peers));
  }
}

}  // namespace
}  // namespace fp::test
