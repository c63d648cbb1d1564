#include "framegrab/serve/HttpAdmission.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace fp {
namespace {

// Each request head against a server on loopback port 8080 (or, where `loopback` is false, on
// another address), with at most 4 header lines.
TEST(HttpAdmission, RequestsAreAdmittedOrRefusedWithTheirStatus) {
  struct Case {
    std::string_view method;
    std::size_t lines;
    std::size_t hosts;
    std::optional<std::string_view> host;
    bool loopback;
    int status;
  };
  const Case cases[] = {
      {"GET", 2, 1, "localhost:8080", true, 0},
      {"HEAD", 2, 1, "LocalHost:8080", true, 0},
      {"GET", 2, 1, "127.0.0.1:8080", true, 0},
      {"GET", 2, 1, "127.255.3.4:8080", true, 0},
      {"GET", 2, 1, "[::1]:8080", true, 0},
      {"POST", 2, 1, "localhost:8080", true, 405},
      {"get", 2, 1, "localhost:8080", true, 405},
      {"OPTIONS", 99, 3, std::nullopt, true, 405},  // the method is judged first
      {"GET", 4, 1, "localhost:8080", true, 0},
      {"GET", 5, 1, "localhost:8080", true, 431},
      {"GET", 3, 2, "localhost:8080", true, 400},
      {"GET", 1, 0, std::nullopt, true, 421},
      {"GET", 2, 1, "localhost", true, 421},  // port 80 only
      {"GET", 2, 1, "localhost:80800", true, 421},
      {"GET", 2, 1, "evil.example:8080", true, 421},
      {"GET", 2, 1, "127.0.0.1.example:8080", true, 421},
      {"GET", 2, 1, "128.0.0.1:8080", true, 421},
      {"GET", 2, 1, "127.0.0.256:8080", true, 421},
      {"GET", 2, 1, "127.0.0:8080", true, 421},
      {"GET", 2, 1, "[::2]:8080", true, 421},
      {"GET", 2, 1, "evil.example:8080", false, 0},  // off loopback any name is served
      {"GET", 1, 0, std::nullopt, false, 0},
  };
  for (const Case& c : cases) {
    const RequestHead head{c.method, c.lines, c.hosts, c.host};
    EXPECT_EQ(AdmitRequest(head, 4, c.loopback, 8080).status, c.status)
        << c.method << " " << c.lines << " lines, host " << c.host.value_or("(none)")
        << (c.loopback ? " on loopback" : "");
  }
}

TEST(HttpAdmission, RefusalsSayWhyAndWhatIsAllowed) {
  const Refusal method = AdmitRequest({"PUT", 1, 1, "localhost:80"}, 4, true, 80);
  EXPECT_EQ(method.text, "only GET and HEAD are served\n");
  ASSERT_EQ(method.headers.size(), 1u);
  EXPECT_EQ(method.headers[0].first, "Allow");
  EXPECT_EQ(method.headers[0].second, "GET, HEAD");
  EXPECT_TRUE(NamesLoopback("localhost", 80));
  EXPECT_EQ(AdmitRequest({"GET", 1, 1, "example:81"}, 4, true, 81).text,
            "this page answers only to localhost, 127.0.0.1 and [::1] with port 81\n");
}

}  // namespace
}  // namespace fp
