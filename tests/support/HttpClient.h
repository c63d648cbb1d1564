#pragma once

// A plain HTTP/1.1 client on a TCP socket, for tests and benchmarks that must say exactly what
// goes on the wire (stalled, partial, pipelined or oversized requests) and see exactly what
// comes back.

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fp::test {

// One answer as it came.
struct HttpReply {
  int status = 0;                             // 0: no whole answer came
  std::map<std::string, std::string> fields;  // header fields, names in lower case
  std::string body;
};

// A client connection; closes its socket.
class HttpConnection {
 public:
  // Connects to address:port, with a receive buffer of `receive_buffer` bytes when not 0.
  HttpConnection(const std::string& address, int port, int receive_buffer = 0) {
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (connect(_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      close(_fd);
      _fd = -1;
    }
  }
  ~HttpConnection() {
    if (_fd >= 0) close(_fd);
  }
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  bool Connected() const { return _fd >= 0; }
  int Fd() const { return _fd; }
  // Whether the server has closed the connection (seen by the last read).
  bool Closed() const { return _closed; }
  // Bytes read so far and not yet taken by Next().
  const std::string& Buffered() const { return _in; }

  // Sends `bytes` whole; false when the server does not take them within 5 s.
  bool Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (_fd >= 0 && sent < bytes.size()) {
      pollfd p{_fd, POLLOUT, 0};
      if (poll(&p, 1, 5000) <= 0) return false;
      const ssize_t n =
          send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return _fd >= 0;
  }

  // Reads what has come within `limit` (at most `most` bytes); false once the server closed.
  bool Read(std::chrono::milliseconds limit, std::size_t most = 1 << 20) {
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    while (!_closed && most > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{_fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) break;
      const ssize_t n = recv(_fd, buffer, std::min(sizeof buffer, most), 0);
      if (n <= 0) {
        _closed = true;
        break;
      }
      _in.append(buffer, static_cast<std::size_t>(n));
      most -= static_cast<std::size_t>(n);
    }
    return !_closed;
  }

  // The next whole answer, reading for at most `limit`; status 0 when none came whole.
  HttpReply Next(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    HttpReply reply;
    for (;;) {
      if (Parse(reply)) return reply;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (_closed || left.count() <= 0) return HttpReply{};
      Read(std::min(left, std::chrono::milliseconds(50)));
    }
  }

 private:
  // Takes one whole answer off the front of what was read.
  bool Parse(HttpReply& reply) {
    const std::size_t head_end = _in.find("\r\n\r\n");
    if (head_end == std::string::npos || _in.compare(0, 5, "HTTP/") != 0) return false;
    reply = HttpReply{};
    reply.status = std::atoi(_in.c_str() + _in.find(' ') + 1);
    for (std::size_t at = _in.find("\r\n") + 2; at < head_end;) {
      const std::size_t line_end = _in.find("\r\n", at);
      const std::size_t colon = _in.find(':', at);
      std::string name = _in.substr(at, colon - at);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::size_t value = colon + 1;
      while (value < line_end && _in[value] == ' ') ++value;
      reply.fields[name] = _in.substr(value, line_end - value);
      at = line_end + 2;
    }
    std::size_t body = head_end + 4;
    if (reply.fields.count("content-length") != 0) {
      const std::size_t length = std::stoul(reply.fields["content-length"]);
      if (_in.size() < body + length) return false;
      reply.body = _in.substr(body, length);
      _in.erase(0, body + length);
      return true;
    }
    if (reply.fields["transfer-encoding"] == "chunked") {
      for (;;) {
        const std::size_t size_end = _in.find("\r\n", body);
        if (size_end == std::string::npos) return false;
        const std::size_t size = std::stoul(_in.substr(body, size_end - body), nullptr, 16);
        if (_in.size() < size_end + 2 + size + 2) return false;
        reply.body += _in.substr(size_end + 2, size);
        body = size_end + 2 + size + 2;
        if (size == 0) break;
      }
      _in.erase(0, body);
      return true;
    }
    if (!_closed) return false;  // the body ends with the connection
    reply.body = _in.substr(body);
    _in.clear();
    return true;
  }

  int _fd = -1;
  bool _closed = false;
  std::string _in;
};

// A request for `path` with the Host header `host` and the header lines `extra` (each ending
// in CRLF).
inline std::string HttpRequestText(const std::string& path, const std::string& host,
                                   const std::string& extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + extra + "\r\n";
}

// GET `path` from address:port on a connection of its own, Host naming them; the answer within
// `limit`, status 0 when none came.
inline HttpReply HttpGet(const std::string& address, int port, const std::string& path,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  HttpConnection c(address, port);
  const std::string host = address + ":" + std::to_string(port);
  if (!c.Send(HttpRequestText(path, host, "Connection: close\r\n"))) return {};
  return c.Next(limit);
}

}  // namespace fp::test
