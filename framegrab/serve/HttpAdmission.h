#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fp {

// What the live page's server admits, apart from the library that carries the requests: a
// request is judged from its method and header lines before any route sees it.

// The parts of a request's head that admission looks at.
struct RequestHead {
  std::string_view method;
  std::size_t header_lines = 0;
  std::size_t host_lines = 0;            // header lines named Host, in any case
  std::optional<std::string_view> host;  // the Host value, when there is one
};

// Why a request is refused: a status with its text and headers; status 0 when it is admitted.
struct Refusal {
  int status = 0;
  std::string text;
  std::vector<std::pair<std::string, std::string>> headers;
};

// GET and HEAD only (405); at most `max_headers` header lines (431); one Host at most (400);
// on a loopback address, a Host naming loopback with the bound `port` (421), so that a page
// elsewhere cannot read this one by rebinding a name of its own to 127.0.0.1.
Refusal AdmitRequest(const RequestHead& head, std::size_t max_headers, bool loopback, int port);

// A name of this machine's loopback in a Host header, with `port`: "localhost:8080",
// "127.0.0.1:8080", "[::1]:8080"; without a port only when it is 80.
bool NamesLoopback(std::string_view host, int port);

}  // namespace fp
