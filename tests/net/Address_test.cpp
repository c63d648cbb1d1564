#include "net/Address.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace fp {
namespace {

std::array<unsigned, 4> Bytes(std::uint32_t address) {
  unsigned char b[4];
  std::memcpy(b, &address, 4);
  return {b[0], b[1], b[2], b[3]};
}

std::array<unsigned, 4> Convert(const std::string& text) {
  std::uint32_t address = 0xDEADBEEF;
  EXPECT_TRUE(HostToAddress(text, address)) << text;
  return Bytes(address);
}

TEST(IsDottedNumber, AcceptsOnlyDigitsAndDots) {
  EXPECT_TRUE(IsDottedNumber("192.168.1.10"));
  EXPECT_TRUE(IsDottedNumber(""));
  EXPECT_TRUE(IsDottedNumber("..."));
  EXPECT_FALSE(IsDottedNumber("127.0.0.1:1234"));
  EXPECT_FALSE(IsDottedNumber("localhost"));
  EXPECT_FALSE(IsDottedNumber("-1.2.3.4"));
  EXPECT_FALSE(IsDottedNumber("1.2.3.4 "));
}

TEST(HostToAddress, ReadsDottedNumbersFieldByField) {
  using B = std::array<unsigned, 4>;
  EXPECT_EQ(Convert("127.0.0.1"), (B{127, 0, 0, 1}));  // first byte in memory first
  EXPECT_EQ(Convert("192.168.1.10"), (B{192, 168, 1, 10}));
  EXPECT_EQ(Convert("10.1"), (B{10, 1, 0, 0}));
  EXPECT_EQ(Convert("1..2.3.4"), (B{1, 2, 3, 4}));
  EXPECT_EQ(Convert(".1.2.3.4."), (B{1, 2, 3, 4}));
  EXPECT_EQ(Convert("1.2.3.4.5"), (B{1, 2, 3, 4}));
  EXPECT_EQ(Convert("256.1.1.1"), (B{0, 1, 1, 1}));
  EXPECT_EQ(Convert("300.0.0.1"), (B{44, 0, 0, 1}));
  EXPECT_EQ(Convert(""), (B{0, 0, 0, 0}));
  // Values beyond a 32-bit long read as 2147483647, whose low byte is 255.
  EXPECT_EQ(Convert("99999999999.1.2.3"), (B{255, 1, 2, 3}));
}

TEST(HostToAddress, ResolvesHostNames) {
  std::uint32_t address = 0;
  ASSERT_TRUE(HostToAddress("localhost", address));
  EXPECT_EQ(Bytes(address)[0], 127u);
}

TEST(HostToAddress, FailsForATextWithAPortAndLeavesTheAddress) {
  std::uint32_t address = 0x01020304;
  EXPECT_FALSE(HostToAddress("127.0.0.1:1234", address));
  EXPECT_EQ(address, 0x01020304u);
  EXPECT_FALSE(HostToAddress("no-such-host.invalid", address));
  EXPECT_EQ(address, 0x01020304u);
}

TEST(AddressToText, WritesTheDottedQuadAndRoundTrips) {
  std::uint32_t address = 0;
  ASSERT_TRUE(HostToAddress("127.0.0.1", address));
  std::string text = "previous content";
  AddressToText(address, text);
  EXPECT_EQ(text, "127.0.0.1");
  AddressToText(0xFFFFFFFFu, text);
  EXPECT_EQ(text, "255.255.255.255");
  AddressToText(0, text);
  EXPECT_EQ(text, "0.0.0.0");
}

TEST(NumberToText, WritesDecimalWithSign) {
  EXPECT_EQ(NumberToText(-5), "-5");
  EXPECT_EQ(NumberToText(0), "0");
  EXPECT_EQ(NumberToText(1234), "1234");
  EXPECT_EQ(NumberToText(INT32_MIN), "-2147483648");
}

}  // namespace
}  // namespace fp
