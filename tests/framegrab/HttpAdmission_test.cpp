#include "framegrab/serve/HttpAdmission.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace fp {
namespace {

// On loopback port 8080, a Host must name loopback with that port; elsewhere any is served.
TEST(HttpAdmission, OnLoopbackOnlyLoopbackNamesWithTheBoundPortAreServed) {
  const std::string_view served[] = {"localhost:8080", "LocalHost:8080", "127.0.0.1:8080",
                                     "127.255.3.4:8080", "[::1]:8080"};
  const std::string_view misdirected[] = {
      "localhost",      "localhost:80800",  "evil.example:8080", "127.0.0.1.example:8080",
      "128.0.0.1:8080", "127.0.0.256:8080", "127.0.0:8080",      "[::2]:8080"};
  for (const std::string_view host : served) {
    EXPECT_EQ(AdmitRequest({"GET", 2, 1, host}, 4, true, 8080).status, 0) << host;
  }
  for (const std::string_view host : misdirected) {
    EXPECT_EQ(AdmitRequest({"GET", 2, 1, host}, 4, true, 8080).status, 421) << host;
    EXPECT_EQ(AdmitRequest({"GET", 2, 1, host}, 4, false, 8080).status, 0) << host;
  }
  EXPECT_EQ(AdmitRequest({"GET", 1, 0, std::nullopt}, 4, true, 8080).status, 421);
  EXPECT_EQ(AdmitRequest({"GET", 1, 0, std::nullopt}, 4, false, 8080).status, 0);
}

// The method first, then the header lines (at most 4 here), then one Host at most.
TEST(HttpAdmission, MethodsAndHeaderLinesAreJudgedBeforeTheHost) {
  struct Case {
    std::string_view method;
    std::size_t lines;
    std::size_t hosts;
    int status;
  };
  const Case cases[] = {
      {"HEAD", 2, 1, 0}, {"POST", 2, 1, 405}, {"get", 2, 1, 405}, {"OPTIONS", 99, 3, 405},
      {"GET", 4, 1, 0},  {"GET", 5, 1, 431},  {"GET", 3, 2, 400}, {"GET", 99, 2, 431},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AdmitRequest({c.method, c.lines, c.hosts, "localhost:8080"}, 4, true, 8080).status,
              c.status)
        << c.method << ", " << c.lines << " lines, " << c.hosts << " Host";
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
