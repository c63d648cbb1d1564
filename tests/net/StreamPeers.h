#pragma once

// Peers for the stream-socket tests, driven from the test's own thread between passes of the
// handler: a TCP echo server, a SOCKS4 server that grants (and then echoes) or refuses, and a
// listener whose backlog is full so that a connect to it never completes. None of them blocks.
// Also the client those tests drive, which keeps a journal of its callbacks.

#include "net/SocketHandler.h"
#include "net/SocketOps.h"
#include "net/TcpSocket.h"

#include "NetTestSupport.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fp::test {

// A non-blocking listening descriptor on `address`:`port`.
// A receive buffer other than 0 is given to every connection it accepts.
inline int ListenOn(const char* address, std::uint16_t port, int backlog, int receive_buffer = 0) {
  const int listener = sockets::CreateSocket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(listener, -1);
  sockets::SetIntOption(listener, SOL_SOCKET, SO_REUSEADDR, 1);
  if (receive_buffer != 0) sockets::SetIntOption(listener, SOL_SOCKET, SO_RCVBUF, receive_buffer);
  sockets::SetNonBlocking(listener, true);
  EXPECT_EQ(sockets::BindIPv4(listener, Ip(address), port), 0);
  EXPECT_EQ(listen(listener, backlog), 0);
  return listener;
}

// One accepted connection of a peer.
struct PeerConnection {
  int descriptor = -1;
  std::string received;  // everything the peer read on it
  bool ended = false;    // the other side closed it (or it failed)
};

// Accepts connections and keeps what arrives; `echo` sends every byte back. A receive buffer
// other than 0 makes the connections' windows small.
class StreamPeer {
 public:
  StreamPeer(const char* address, std::uint16_t port, bool echo = true, int receive_buffer = 0)
      : _listener(ListenOn(address, port, 8, receive_buffer)), _echo(echo) {}
  virtual ~StreamPeer() {
    for (PeerConnection& c : connections) {
      if (c.descriptor != -1) close(c.descriptor);
    }
    close(_listener);
  }
  StreamPeer(const StreamPeer&) = delete;
  StreamPeer& operator=(const StreamPeer&) = delete;

  // Accepts what is waiting and serves every open connection once, without waiting.
  void Step() {
    for (;;) {
      const int d = accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (d == -1) break;
      connections.push_back({d, "", false});
    }
    for (std::size_t i = 0; i < connections.size(); ++i) {
      PeerConnection& c = connections[i];
      if (c.descriptor == -1 || c.ended) continue;
      char buffer[4096];
      const long n = recv(c.descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        const std::string bytes(buffer, static_cast<std::size_t>(n));
        c.received += bytes;
        OnBytes(i, bytes);
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        c.ended = true;
        Close(i);
      }
    }
  }

  void Send(std::size_t i, const std::string& bytes) {
    ASSERT_EQ(send(connections[i].descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<long>(bytes.size()));
  }

  void Close(std::size_t i) {
    if (connections[i].descriptor != -1) close(connections[i].descriptor);
    connections[i].descriptor = -1;
  }

  std::vector<PeerConnection> connections;

 protected:
  virtual void OnBytes(std::size_t i, const std::string& bytes) {
    if (_echo) Send(i, bytes);
  }

 private:
  int _listener;
  bool _echo;
};

// A SOCKS4 server: reads a connect request, answers it with `reply_code` (90 grants), and then
// echoes on a granted connection or closes a refused one.
class Socks4Peer : public StreamPeer {
 public:
  struct Request {
    std::uint8_t version;
    std::uint8_t command;
    std::uint16_t port;
    std::uint32_t address;  // network order
    std::string user;
  };

  Socks4Peer(const char* address, std::uint16_t port, std::uint8_t reply_code)
      : StreamPeer(address, port, /*echo=*/false), _reply_code(reply_code) {}

  std::vector<Request> requests;

 protected:
  void OnBytes(std::size_t i, const std::string& bytes) override {
    if (_answered.size() <= i) _answered.resize(i + 1, false);
    if (_answered[i]) {
      Send(i, bytes);
      return;
    }
    const std::string& all = connections[i].received;
    const auto end = all.find('\0', 8);
    if (all.size() < 9 || end == std::string::npos) return;
    Request r{};
    r.version = static_cast<std::uint8_t>(all[0]);
    r.command = static_cast<std::uint8_t>(all[1]);
    r.port = static_cast<std::uint16_t>((static_cast<std::uint8_t>(all[2]) << 8) |
                                        static_cast<std::uint8_t>(all[3]));
    std::memcpy(&r.address, all.data() + 4, 4);
    r.user = all.substr(8, end - 8);
    requests.push_back(r);
    _answered[i] = true;
    const char reply[8] = {0, static_cast<char>(_reply_code), 0, 0, 0, 0, 0, 0};
    Send(i, std::string(reply, sizeof reply));
    if (_reply_code != 90) Close(i);
  }

 private:
  std::uint8_t _reply_code;
  std::vector<bool> _answered;
};

// A listener whose backlog is full: one connection waits, never accepted, and every further
// connect to it stays pending (its SYNs are dropped).
class FullListener {
 public:
  FullListener(const char* address, std::uint16_t port)
      : _listener(ListenOn(address, port, 0)),
        _filler(sockets::CreateSocket(AF_INET, SOCK_STREAM, 0)) {
    sockets::SetNonBlocking(_filler, true);
    sockets::ConnectIPv4(_filler, Ip(address), port);
    pollfd entry{_filler, POLLOUT, 0};
    EXPECT_EQ(poll(&entry, 1, 5000), 1);
    EXPECT_TRUE(sockets::HasPeer(_filler)) << "the backlog never filled";
  }
  ~FullListener() {
    close(_filler);
    close(_listener);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

 private:
  int _listener;
  int _filler;
};

// A stream socket that writes its callbacks into a journal and keeps what it receives.
class Client : public TcpSocket {
 public:
  Client(SocketHandler& handler, std::vector<std::string>& journal)
      : TcpSocket(handler), _journal(journal) {}

  void OnConnect() override { _journal.push_back("connect"); }
  void OnConnectFailure() override { _journal.push_back("failure"); }
  void OnReconnected() override { _journal.push_back("reconnected"); }
  void OnConnectionLost() override { _journal.push_back("lost"); }
  void OnReleased() override { _journal.push_back("released"); }

  std::string received;

 protected:
  void OnInput() override { received += TakeInput(); }

 private:
  std::vector<std::string>& _journal;
};

inline bool Logged(const std::vector<std::string>& journal, const std::string& entry) {
  return std::find(journal.begin(), journal.end(), entry) != journal.end();
}

inline std::size_t CountCalls(const RecordingLog& log, const std::string& call) {
  return static_cast<std::size_t>(std::count_if(log.reports.begin(), log.reports.end(),
                                                [&](const Reported& r) { return r.call == call; }));
}

inline bool HasReport(const RecordingLog& log, const Reported& wanted) {
  return std::find(log.reports.begin(), log.reports.end(), wanted) != log.reports.end();
}

// Runs passes of at most 10 ms, stepping the peers after each, until `done` holds or `limit`
// has passed; returns whether it holds.
inline bool Pump(SocketHandler& handler, const std::function<bool()>& done,
                 const std::vector<StreamPeer*>& peers = {},
                 std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    handler.Select(0, 10000);
    for (StreamPeer* peer : peers) peer->Step();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace fp::test
