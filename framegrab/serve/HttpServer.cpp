#include "framegrab/serve/HttpServer.h"

#include "base/Background.h"

#include "framegrab/serve/HttpAdmission.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The library's threads are not used: one thread of ours runs its passes (epoll underneath)
// and, between them, does what the library has no option for: the whole-request deadline, the
// event streams and their backlog, the requests that wait for their answer. Connections that
// wait are suspended, so they cost the library nothing until resumed.

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kTick(100);
constexpr std::size_t kStreamBlock = 16 * 1024;

bool IsLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

// Frees the shared body an answer was sent from.
void ReleaseBody(void* body) { delete static_cast<std::shared_ptr<const std::string>*>(body); }

}  // namespace

HttpAnswer HttpAnswer::Of(int status, std::string type, std::string body) {
  HttpAnswer answer;
  answer.status = status;
  answer.type = std::move(type);
  answer.body = std::make_shared<const std::string>(std::move(body));
  return answer;
}

// What the server knows of one connection, from the library's notice of it to that of its end.
struct HttpServer::Connection {
  int fd = -1;  // the library's; shut down here only before its notice of the end
  Clock::time_point since;
  bool reading = true;  // no request whole yet since `since`
  bool cut = false;
};

// A request that is answered over time: an event stream, or a route that answered Later().
struct HttpServer::Exchange {
  MHD_Connection* mhd = nullptr;
  Connection* connection = nullptr;
  const StreamRoute* stream = nullptr;  // null for a waiting route
  StreamCursor cursor;
  std::string pending;  // of the stream, not yet taken by the library
  std::size_t taken = 0;
  bool suspended = false;
  bool drop = false;
};

struct HttpServer::Callbacks {
  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, std::size_t*,
                              void** context) {
    return static_cast<HttpServer*>(self)->Answer(connection, url, method, context) ? MHD_YES
                                                                                    : MHD_NO;
  }

  static void OnCompleted(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
    auto* server = static_cast<HttpServer*>(self);
    if (*context != nullptr) server->Forget(static_cast<Exchange*>(*context));
    *context = nullptr;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
      auto* c = static_cast<Connection*>(info->socket_context);
      c->reading = true;
      c->since = Clock::now();
    }
  }

  static void OnConnection(void* self, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode what) {
    auto* server = static_cast<HttpServer*>(self);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* c = new Connection;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      c->fd = info != nullptr ? info->connect_fd : -1;
      c->since = Clock::now();
      server->_connections.push_back(c);
      *socket_context = c;
    } else if (*socket_context != nullptr) {
      auto* c = static_cast<Connection*>(*socket_context);
      for (Exchange* e : server->_exchanges) {
        if (e->connection == c) e->connection = nullptr;
      }
      std::erase(server->_connections, c);
      delete c;
      *socket_context = nullptr;
    }
  }

  static ssize_t OnStreamRead(void* context, std::uint64_t, char* buffer, std::size_t max) {
    auto* exchange = static_cast<Exchange*>(context);
    if (exchange->drop) return MHD_CONTENT_READER_END_WITH_ERROR;
    const std::size_t left = exchange->pending.size() - exchange->taken;
    if (left == 0) {
      exchange->pending.clear();
      exchange->taken = 0;
      exchange->suspended = true;
      MHD_suspend_connection(exchange->mhd);
      return 0;
    }
    const std::size_t n = std::min(left, max);
    std::memcpy(buffer, exchange->pending.data() + exchange->taken, n);
    exchange->taken += n;
    return static_cast<ssize_t>(n);
  }
};

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() {
  Stop();
  // Only now: Wake() may be called until the server is gone.
  if (_wake_fd >= 0) close(_wake_fd);
}

void HttpServer::Get(const std::string& path, Route route) { _routes[path] = std::move(route); }

void HttpServer::Stream(const std::string& path, std::string type, StreamSource source) {
  _streams[path] = StreamRoute{std::move(type), std::move(source)};
}

namespace {

// Queues `answer` on `connection`: its body is shared with the answer, never copied.
bool Queue(MHD_Connection* connection, const HttpAnswer& answer) {
  const std::shared_ptr<const std::string>& body = answer.body;
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body ? body->size() : 0, body ? const_cast<char*>(body->data()) : nullptr, &ReleaseBody,
      new std::shared_ptr<const std::string>(body));
  if (response == nullptr) return false;
  if (!answer.type.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

// Counts the header lines of a request, and among them those named Host.
struct HeaderCount {
  std::size_t lines = 0;
  std::size_t hosts = 0;
};

MHD_Result CountHeader(void* count, MHD_ValueKind, const char* key, const char*) {
  auto* c = static_cast<HeaderCount*>(count);
  ++c->lines;
  if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) ++c->hosts;
  return MHD_YES;
}

}  // namespace

// Why a request is refused before any route sees it, or status 0 when it is not.
HttpAnswer HttpServer::RefusalOf(MHD_Connection* connection, const char* method) const {
  HeaderCount count;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHeader, &count);
  RequestHead head;
  head.method = method;
  head.header_lines = count.lines;
  head.host_lines = count.hosts;
  if (const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host")) {
    head.host = host;
  }
  Refusal refusal = AdmitRequest(head, kMaxHeaders, _loopback, _port);
  if (refusal.status == 0) return {};
  HttpAnswer answer = HttpAnswer::Text(refusal.status, std::move(refusal.text));
  answer.headers = std::move(refusal.headers);
  return answer;
}

bool HttpServer::Answer(MHD_Connection* connection, const char* url, const char* method,
                        void** context) {
  auto* exchange = static_cast<Exchange*>(*context);
  if (exchange != nullptr) {
    // A waiting route, resumed.
    exchange->suspended = false;
    if (exchange->drop) return false;
  } else {
    // The request's headers are in: it no longer counts against the deadline.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
      static_cast<Connection*>(info->socket_context)->reading = false;
    }
    const HttpAnswer refusal = RefusalOf(connection, method);
    if (refusal.status != 0) return Queue(connection, refusal);
  }

  const auto stream = _streams.find(url);
  if (stream != _streams.end()) return OpenStream(connection, stream->second, context);
  const auto route = _routes.find(url);
  if (route == _routes.end()) return Queue(connection, HttpAnswer::Text(404, "not found\n"));
  HttpRequest request;
  request.query = [connection](const char* name) {
    return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  };
  const HttpAnswer answer = route->second(request);
  if (answer.status != 0) return Queue(connection, answer);
  if (exchange == nullptr) {
    exchange = new Exchange;
    exchange->mhd = connection;
    _exchanges.push_back(exchange);
    *context = exchange;
  }
  exchange->suspended = true;
  MHD_suspend_connection(connection);
  return true;
}

bool HttpServer::OpenStream(MHD_Connection* connection, const StreamRoute& route, void** context) {
  if (_open_streams >= kMaxStreams) {
    HttpAnswer answer = HttpAnswer::Text(503, "too many event streams open\n");
    answer.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "10");
    return Queue(connection, answer);
  }
  auto* e = new Exchange;
  e->mhd = connection;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  e->connection = info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
  e->stream = &route;
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock,
                                                             &Callbacks::OnStreamRead, e, nullptr);
  if (response == nullptr) {
    delete e;
    return false;
  }
  _exchanges.push_back(e);
  ++_open_streams;
  *context = e;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, route.type.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

void HttpServer::Forget(Exchange* exchange) {
  if (exchange->stream != nullptr) --_open_streams;
  std::erase(_exchanges, exchange);
  delete exchange;
}

bool HttpServer::Start(const std::string& address, int port, std::string& error) {
  std::string host = address;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (resolved != 0) {
    error = gai_strerror(resolved);
    return false;
  }
  sockaddr_storage bound{};
  std::memcpy(&bound, found->ai_addr, found->ai_addrlen);
  const socklen_t length = found->ai_addrlen;
  freeaddrinfo(found);
  if (bound.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(bound).sin_port = htons(static_cast<std::uint16_t>(port));
  } else {
    reinterpret_cast<sockaddr_in6&>(bound).sin6_port = htons(static_cast<std::uint16_t>(port));
  }

  // Made here rather than through net/: net/'s sockets are IPv4 and belong to its own event
  // loop, while this one may listen on [::1] and is handed to the HTTP library, whose loop
  // serves it. Without SO_REUSEPORT: a second program on the same port must fail, not share the
  // connections.
  _listen_fd = socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int yes = 1;
  if (_listen_fd < 0 || setsockopt(_listen_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(_listen_fd, reinterpret_cast<const sockaddr*>(&bound), length) != 0 ||
      listen(_listen_fd, 64) != 0) {
    error = std::strerror(errno);
    if (_listen_fd >= 0) close(_listen_fd);
    _listen_fd = -1;
    return false;
  }
  socklen_t named = sizeof bound;
  getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&bound), &named);
  _port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                           : reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
  _loopback = IsLoopback(bound);

  _wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  _daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Callbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, _listen_fd,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(kIdleTimeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kRequestBytes, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::OnConnection, this, MHD_OPTION_END);
  if (_wake_fd < 0 || _daemon == nullptr) {
    error = _wake_fd < 0 ? std::strerror(errno) : "the HTTP library would not start";
    if (_daemon == nullptr) close(_listen_fd);
    _listen_fd = -1;
    Stop();
    return false;
  }
  _listen_fd = -1;  // the daemon's now
  _thread = std::thread(&HttpServer::Loop, this);
  return true;
}

void HttpServer::Wake() {
  const std::uint64_t one = 1;
  if (_wake_fd >= 0) (void)!write(_wake_fd, &one, sizeof one);
}

void HttpServer::Loop() {
  RunInBackground();
  const MHD_DaemonInfo* info = MHD_get_daemon_info(_daemon, MHD_DAEMON_INFO_EPOLL_FD);
  const int epoll_fd = info != nullptr ? info->epoll_fd : -1;
  while (!_stop.load()) {
    MHD_UNSIGNED_LONG_LONG timeout = kTick.count();
    if (MHD_get_timeout(_daemon, &timeout) != MHD_YES) timeout = kTick.count();
    pollfd fds[2] = {{epoll_fd, POLLIN, 0}, {_wake_fd, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(timeout, kTick.count())));
    std::uint64_t wakes = 0;
    const bool woken = (fds[1].revents & POLLIN) != 0 && read(_wake_fd, &wakes, sizeof wakes) > 0;
    Tend(woken);
    MHD_run(_daemon);
  }
  // The library must not be stopped with suspended connections: each is let go first.
  for (Exchange* e : _exchanges) {
    e->drop = true;
    if (e->suspended) {
      e->suspended = false;
      MHD_resume_connection(e->mhd);
    }
  }
  for (int pass = 0; pass < 3 && !_exchanges.empty(); ++pass) MHD_run(_daemon);
}

void HttpServer::Tend(bool woken) {
  const Clock::time_point now = Clock::now();
  const bool feed = now - _fed >= kTick;
  if (feed) _fed = now;
  for (Connection* c : _connections) {
    if (c->reading && !c->cut && now - c->since > kRequestDeadline) {
      // The library sees the end of the stream and closes the connection.
      shutdown(c->fd, SHUT_RDWR);
      c->cut = true;
    }
  }
  for (Exchange* e : _exchanges) {
    if (e->stream == nullptr) {
      if (woken && e->suspended) {
        e->suspended = false;
        MHD_resume_connection(e->mhd);
      }
      continue;
    }
    int queued = 0;
    if (e->connection != nullptr) ioctl(e->connection->fd, SIOCOUTQ, &queued);
    if (static_cast<std::size_t>(queued) + e->pending.size() - e->taken > kStreamBacklog) {
      e->drop = true;
    } else if (e->suspended && feed) {
      std::string next = e->stream->source(e->cursor);
      if (!next.empty()) e->pending = std::move(next);
    }
    if (e->suspended && (e->drop || !e->pending.empty())) {
      e->suspended = false;
      MHD_resume_connection(e->mhd);
    }
  }
}

void HttpServer::Stop() {
  _stop.store(true);
  Wake();
  if (_thread.joinable()) _thread.join();
  if (_daemon != nullptr) MHD_stop_daemon(_daemon);
  _daemon = nullptr;
  for (Exchange* e : _exchanges) delete e;
  _exchanges.clear();
}

}  // namespace fp
