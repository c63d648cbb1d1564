#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace fp {

// A request as a route sees it.
struct HttpRequest {
  // The value of a query argument ("?from=3"), or nullptr when it is not given.
  std::function<const char*(const char* name)> query;
};

// A route's answer. The body is shared, so that an answer made once is sent to many clients
// without a copy.
struct HttpAnswer {
  int status = 0;  // 0: not ready yet; the request waits and the route is asked again
  std::string type;
  std::shared_ptr<const std::string> body;
  std::vector<std::pair<std::string, std::string>> headers;

  static HttpAnswer Of(int status, std::string type, std::string body);
  static HttpAnswer Text(int status, std::string text) {
    return Of(status, "text/plain; charset=utf-8", std::move(text));
  }
  static HttpAnswer Later() { return {}; }
};

// Where an event stream is, kept by the server for each open stream and handed to its source.
struct StreamCursor {
  std::uint64_t version = 0;  // of what was sent last; 0 before the first
  std::chrono::steady_clock::time_point sent{};
};

// A small read-only HTTP/1.1 server for a page embedded in a program, with limits a reader can
// state, all kept on one thread of its own:
// - at most kMaxConnections connections, of which at most kMaxStreams event streams (one more
//   stream is answered 503);
// - a request's line and headers within kRequestBytes (the library's memory for a connection;
//   431 beyond, or 414 for a longer request line) and kMaxHeaders header lines (431), whole
//   within kRequestDeadline of the connection or of the previous answer on it, else the
//   connection is closed;
// - GET and HEAD only (405); requests sent together on one connection end it after the first
//   answer;
// - bound to a loopback address, only Host values naming loopback (localhost, 127.x.x.x, [::1])
//   with the bound port are served (421 otherwise), so that a page elsewhere cannot read this
//   one by rebinding a name of its own to 127.0.0.1;
// - a client that takes nothing of an answer for kIdleTimeout, or lets an event stream fall
//   more than kStreamBacklog bytes behind, is dropped.
// The server's thread runs at a lower priority than the program's others. Routes run on it and
// must not block: one that cannot answer yet answers
// Later() and is asked again after the next Wake().
class HttpServer {
 public:
  static constexpr unsigned kMaxConnections = 64;
  static constexpr int kMaxStreams = 8;
  static constexpr std::size_t kRequestBytes = 32 * 1024;
  static constexpr std::size_t kMaxHeaders = 64;
  static constexpr std::chrono::seconds kRequestDeadline{5};
  static constexpr std::chrono::seconds kIdleTimeout{5};
  static constexpr std::size_t kStreamBacklog = 64 * 1024;

  using Route = std::function<HttpAnswer(const HttpRequest&)>;
  // The next piece of an event stream, or empty when there is nothing to send now. Asked about
  // every tenth of a second while the stream is open and what it sent has gone out.
  using StreamSource = std::function<std::string(StreamCursor&)>;

  HttpServer();
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before Start. `path` is matched exactly; the query is not part of it.
  void Get(const std::string& path, Route route);
  void Stream(const std::string& path, std::string type, StreamSource source);

  // Listens on address:port (a name, a dotted quad or a bracketed IPv6 address; port 0 takes a
  // free one) and serves on a thread of its own; false with the reason in `error`.
  bool Start(const std::string& address, int port, std::string& error);
  // After Start: the port listened on, and whether the address is a loopback one.
  int Port() const { return _port; }
  bool OnLoopback() const { return _loopback; }
  // Any thread, until the server is destroyed: the routes that answered Later() are asked
  // again soon.
  void Wake();
  // Ends every connection and the thread. Idempotent.
  void Stop();

 private:
  struct Connection;
  struct Exchange;

  struct Callbacks;  // the library's callbacks, in the .cpp
  friend struct Callbacks;

  void Loop();
  // On the server's thread, between the library's passes: closes connections past their
  // request deadline, feeds and drops event streams, resumes waiting requests.
  void Tend(bool woken);
  // The answer to a request whose headers are in; true when one was queued or the request
  // waits, false to close the connection.
  bool Answer(MHD_Connection* connection, const char* url, const char* method, void** context);
  HttpAnswer RefusalOf(MHD_Connection* connection, const char* method) const;
  struct StreamRoute;
  bool OpenStream(MHD_Connection* connection, const StreamRoute& route, void** context);
  void Forget(Exchange* exchange);

  struct StreamRoute {
    std::string type;
    StreamSource source;
  };
  std::map<std::string, Route> _routes;
  std::map<std::string, StreamRoute> _streams;

  // Set by Start.
  int _port = 0;
  bool _loopback = false;
  int _listen_fd = -1;  // owned until the daemon takes it
  int _wake_fd = -1;    // an eventfd; owned
  MHD_Daemon* _daemon = nullptr;

  // Touched by the server's thread alone.
  std::vector<Connection*> _connections;  // owned; freed when the library closes them
  std::vector<Exchange*> _exchanges;      // waiting requests and streams; owned
  int _open_streams = 0;
  std::chrono::steady_clock::time_point _fed{};  // when the streams' sources were last asked

  std::thread _thread;
  std::atomic<bool> _stop{false};
};

}  // namespace fp
