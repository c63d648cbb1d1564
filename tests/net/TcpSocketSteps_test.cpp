#include "net/SocketHandler.h"
#include "net/TcpSocket.h"

#include "NetTestSupport.h"
#include "StreamPeers.h"
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace fp::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How a SOCKS4 server that never grants lets the connect down.
enum class Socks4Silence { kSaysNothing, kHangsUp };

// Connects through a SOCKS4 server at `server` that takes the request and then fails in the way
// given, with and without the fallback to a direct connect to the target at `target`; the
// failure is reported as `expected` says (its socket is filled in).
void ConnectThroughFailingSocks4Server(Socks4Silence how, const char* server, const char* target,
                                       Reported expected) {
  for (const bool fallback : {false, true}) {
    SCOPED_TRACE(fallback ? "with fallback" : "without fallback");
    RecordingLog log;
    SocketHandler handler(&log);
    handler.SetSocks4Server(Ip(server), 41080);
    handler.SetSocks4Fallback(fallback);
    StreamPeer socks(server, 41080, /*echo=*/false);
    StreamPeer direct(target, 40000);
    std::vector<std::string> journal;
    Client client(handler, journal);
    client.SetConnectTimeout(1);
    ASSERT_TRUE(client.Open(Ip(target), 40000));
    handler.Add(&client);
    const auto hang_up = [&] {
      if (how == Socks4Silence::kHangsUp && !socks.connections.empty() &&
          socks.connections[0].received.size() >= 9) {
        socks.Close(0);
      }
      return !journal.empty();
    };
    ASSERT_TRUE(Pump(handler, hang_up, {&socks, &direct}, 5s));
    expected.socket = &client;
    EXPECT_TRUE(HasReport(log, expected));
    ASSERT_EQ(socks.connections.size(), 1u);
    EXPECT_GE(socks.connections[0].received.size(), 9u);  // the request reached it
    if (fallback) {
      EXPECT_EQ(journal, std::vector<std::string>{"connect"});
      EXPECT_EQ(direct.connections.size(), 1u);
    } else {
      ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "released"); }, {&socks}));
      EXPECT_EQ(journal, (std::vector<std::string>{"failure", "released"}));
      EXPECT_TRUE(direct.connections.empty());
    }
  }
}

TEST(TcpSocketStepsTest, Socks4HandshakeEndsAtTheConnectLimit) {
  ConnectThroughFailingSocks4Server(Socks4Silence::kSaysNothing, "127.21.1.1", "127.21.1.2",
                                    {nullptr, "connect", -1, "connect timeout", Fatal});
}

TEST(TcpSocketStepsTest, Socks4ServerHangingUpBeforeItsReplyFailsTheConnect) {
  ConnectThroughFailingSocks4Server(
      Socks4Silence::kHangsUp, "127.21.2.1", "127.21.2.2",
      {nullptr, "OnSocks4Read", 0, "socks4 server closed the connection", Fatal});
}

TEST(TcpSocketStepsTest, ClosedSocketOpensAgainAsANewConnection) {
  const std::size_t before = OpenDescriptors();
  {
    RecordingLog log;
    SocketHandler handler(&log);
    StreamPeer echo("127.21.3.1", 40000);
    std::vector<std::string> journal;
    Client client(handler, journal);
    for (const char* text : {"first", "second"}) {
      SCOPED_TRACE(text);
      journal.clear();
      client.received.clear();
      ASSERT_TRUE(client.Open(Ip("127.21.3.1"), 40000));
      handler.Add(&client);
      ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&echo}));
      EXPECT_EQ(journal, std::vector<std::string>{"connect"});
      client.SendText(text, 0);
      ASSERT_TRUE(Pump(handler, [&] { return client.received == text; }, {&echo}));
      client.SetCloseAndDelete(true);
      ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "released"); }, {&echo}));
      EXPECT_EQ(client.GetDescriptor(), -1);
    }
    EXPECT_EQ(echo.connections.size(), 2u);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(TcpSocketStepsTest, OneSecondConnectLimitLastsAWholeSecond) {
  RecordingLog log;
  SocketHandler handler(&log);
  FullListener never("127.21.4.1", 40000);
  std::vector<std::string> journal;
  Client client(handler, journal);
  client.SetConnectTimeout(1);
  // Begin just before the calendar clock turns to its next second: a limit counted in calendar
  // seconds would end at that turn.
  for (;;) {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto fraction = since - std::chrono::duration_cast<std::chrono::seconds>(since);
    if (fraction >= 900ms && fraction < 950ms) break;
    std::this_thread::sleep_for(1ms);
  }
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(client.Open(Ip("127.21.4.1"), 40000));
  handler.Add(&client);
  ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "failure"); }));
  EXPECT_GE(Clock::now() - start, 1s);
  EXPECT_TRUE(HasReport(log, {&client, "connect", -1, "connect timeout", Fatal}));
}

TEST(TcpSocketStepsTest, ConnectionKeptForThePoolIsClosedWhenTheHandlerDoesNotPool) {
  const std::size_t before = OpenDescriptors();
  {
    SocketHandler handler;  // pooling off
    StreamPeer echo("127.21.5.1", 40000);
    std::vector<std::string> journal;
    Client client(handler, journal);
    ASSERT_TRUE(client.Open(Ip("127.21.5.1"), 40000));
    handler.Add(&client);
    ASSERT_TRUE(Pump(handler, [&] { return !journal.empty(); }, {&echo}));
    client.SetKeepForPool(true);
    client.SetCloseAndDelete(true);
    ASSERT_TRUE(Pump(handler, [&] { return Logged(journal, "released"); }, {&echo}));
    EXPECT_EQ(handler.SocketCount(), 0u);
    ASSERT_TRUE(Pump(handler, [&] { return echo.connections[0].ended; }, {&echo}));
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace fp::test
