#include "net/SocketError.h"

#include "net/SocketOps.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fp {
namespace {

TEST(SocketErrorText, GivesTheMessageOfEveryTableRow) {
  EXPECT_EQ(SocketErrorText(10004), "Interrupted function call.");
  EXPECT_EQ(SocketErrorText(10035), "Resource temporarily unavailable.");
  EXPECT_EQ(SocketErrorText(10040), "Message too long.");
  EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family.");
  EXPECT_EQ(SocketErrorText(10048), "Address already in use.");
  EXPECT_EQ(SocketErrorText(10061), "Connection refused.");
  EXPECT_EQ(SocketErrorText(10067), "Too many processes.");
  EXPECT_EQ(SocketErrorText(10109), "Class type not found.");
  EXPECT_EQ(SocketErrorText(11001), "Host not found.");
  EXPECT_EQ(SocketErrorText(11004), "Valid name, no data record of requested type.");
}

TEST(SocketErrorText, FormatsCodesWithoutARow) {
  EXPECT_EQ(SocketErrorText(10059), "Winsock error code: 10059");  // a gap in the table
  EXPECT_EQ(SocketErrorText(0), "Winsock error code: 0");
  EXPECT_EQ(SocketErrorText(-7), "Winsock error code: -7");
  EXPECT_EQ(SocketErrorText(12345), "Winsock error code: 12345");
}

TEST(SocketErrorMapping, PlatformErrorsReadAsTheirWindowsSocketsCodes) {
  EXPECT_EQ(sockets::ErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
  EXPECT_EQ(sockets::ErrorFromErrno(EAGAIN), WSAEWOULDBLOCK);
  EXPECT_EQ(sockets::ErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
  EXPECT_EQ(sockets::ErrorFromErrno(EADDRNOTAVAIL), WSAEADDRNOTAVAIL);
  EXPECT_EQ(sockets::ErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
  EXPECT_EQ(sockets::ErrorFromErrno(EMSGSIZE), WSAEMSGSIZE);
  EXPECT_EQ(sockets::ErrorFromErrno(EINPROGRESS), WSAEINPROGRESS);
  EXPECT_EQ(sockets::ErrorFromErrno(ENOTCONN), WSAENOTCONN);
  EXPECT_EQ(sockets::ErrorFromErrno(EBADF), WSAENOTSOCK);
  EXPECT_EQ(sockets::ErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
  EXPECT_EQ(SocketErrorText(sockets::ErrorFromErrno(ECONNREFUSED)), "Connection refused.");
  // Every mapped code has a text of its own or the formatted one; none maps onto 0.
  for (int err = 1; err < 134; ++err) EXPECT_NE(sockets::ErrorFromErrno(err), 0) << err;
}

}  // namespace
}  // namespace fp
