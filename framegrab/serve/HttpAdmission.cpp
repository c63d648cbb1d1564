#include "framegrab/serve/HttpAdmission.h"

#include <algorithm>
#include <cctype>

namespace fp {

namespace {

// "127.1.2.3": four numbers 0 to 255, the first 127.
bool IsLoopbackQuad(std::string_view text) {
  int parts = 0;
  int value = -1;
  int first = -1;
  for (const char c : text) {
    if (c == '.') {
      if (value < 0) return false;
      if (parts == 0) first = value;
      ++parts;
      value = -1;
    } else if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return parts == 3 && value >= 0 && first == 127;
}

Refusal Text(int status, std::string text) { return {status, std::move(text), {}}; }

}  // namespace

bool NamesLoopback(std::string_view host, int port) {
  std::string_view name = host;
  std::string_view digits;
  const std::size_t bracket = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    name = host.substr(0, colon);
    digits = host.substr(colon + 1);
  }
  if (digits.empty()) {
    if (port != 80) return false;
  } else if (digits != std::to_string(port)) {
    return false;
  }
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower == "localhost" || lower == "[::1]" || IsLoopbackQuad(lower);
}

Refusal AdmitRequest(const RequestHead& head, std::size_t max_headers, bool loopback, int port) {
  if (head.method != "GET" && head.method != "HEAD") {
    return {405, "only GET and HEAD are served\n", {{"Allow", "GET, HEAD"}}};
  }
  if (head.header_lines > max_headers) return Text(431, "too many header lines\n");
  if (head.host_lines > 1) return Text(400, "more than one Host\n");
  if (loopback && (!head.host || !NamesLoopback(*head.host, port))) {
    return Text(421, "this page answers only to localhost, 127.0.0.1 and [::1] with port " +
                         std::to_string(port) + "\n");
  }
  return {};
}

}  // namespace fp
