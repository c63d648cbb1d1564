#include "nudp/NudpProtocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace fp {
namespace {

NudpHeader H(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
             std::uint8_t b5, std::uint8_t b6, std::uint8_t b7) {
  return {b0, b1, b2, b3, b4, b5, b6, b7};
}

TEST(NudpHeaders, CommandsAndTheirExpectedResponsesMatchTheWorkedExamples) {
  const NudpHeader binning = BuildCommandHeader(0, 0x105);
  EXPECT_EQ(binning, H(0xFF, 0x00, 0x00, 0xFA, 0x05, 0x01, 0x00, 0x00));
  EXPECT_EQ(BuildExpectedResponse(binning), H(0xFF, 0x00, 0x80, 0x7A, 0x05, 0x01, 0x00, 0x00));

  const NudpHeader start = BuildCommandHeader(0, NUDP_CMD_START_RAW);
  EXPECT_EQ(start, H(0xFF, 0x00, 0x00, 0xF8, 0x08, 0x00, 0x00, 0x00));
  EXPECT_EQ(BuildExpectedResponse(start), H(0xFF, 0x00, 0x80, 0x78, 0x08, 0x00, 0x00, 0x00));

  EXPECT_EQ(BuildCommandHeader(0, NUDP_CMD_TRANSFER_STATUS),
            H(0xFF, 0x00, 0x00, 0xF6, 0x0A, 0x00, 0x00, 0x00));
  EXPECT_EQ(BuildCommandHeader(0, NUDP_CMD_IDENTIFY),
            H(0xFF, 0x00, 0x00, 0x11, 0xEF, 0x00, 0x00, 0x00));
  EXPECT_EQ(BuildCommandHeader(0, NUDP_CMD_REFRESH),
            H(0xFF, 0x00, 0x00, 0x04, 0xFC, 0x00, 0x00, 0x00));

  const NudpHeader resend = BuildCommandHeader(NUDP_TOP_RETRANSMIT, RawNumberField(251));
  EXPECT_EQ(RawNumberField(251), 0x1F600u);
  EXPECT_EQ(resend, H(0xFF, 0x00, 0x06, 0x03, 0x00, 0xF6, 0x01, 0x00));
  EXPECT_EQ(BuildExpectedResponse(resend), H(0xFF, 0x00, 0x86, 0x83, 0x00, 0xF6, 0x01, 0x00));
}

TEST(NudpHeaders, RawDataHeadersOfTheWorkedExamplesCheckOut) {
  const NudpHeader raw0 = H(0xFF, 0x00, 0x07, 0xF9, 0x00, 0x00, 0x00, 0x00);
  const NudpHeader raw251 = H(0xFF, 0x00, 0x07, 0x02, 0x00, 0xF6, 0x01, 0x00);
  const NudpHeader raw8247 = H(0xFF, 0x00, 0x07, 0x4B, 0x00, 0x6E, 0x40, 0x00);
  for (const NudpHeader& h : {raw0, raw251, raw8247}) {
    EXPECT_TRUE(NudpChecksumOk(h.data()));
    EXPECT_EQ(ClassifyDatagram(h.data(), h.size()), NudpKind::kRawData);
    unsigned sum = 0;
    for (auto b : h) sum += b;
    EXPECT_EQ(sum % 256, 0xFFu);  // a valid header sums to 0xFF
  }
  EXPECT_EQ(RawPacketIndex(ReadNumberField(raw0.data())), 0u);
  EXPECT_EQ(RawPacketIndex(ReadNumberField(raw251.data())), 251u);
  EXPECT_EQ(RawByteOffset(ReadNumberField(raw251.data())), 0x3EC00u);
  EXPECT_EQ(ReadNumberField(raw8247.data()), 0x406E00u);
  EXPECT_EQ(RawPacketIndex(0x406E00), static_cast<std::uint64_t>(RAW_LAST_PACKET_INDEX));
}

TEST(NudpHeaders, ChecksumRejectsAnyDamagedHeaderByteButIgnoresData) {
  std::vector<std::uint8_t> packet(NUDP_MAX_PACKET_LENGTH, 0x5A);
  const NudpHeader h = H(0xFF, 0x00, 0x07, 0x02, 0x00, 0xF6, 0x01, 0x00);
  std::copy(h.begin(), h.end(), packet.begin());
  ASSERT_TRUE(NudpChecksumOk(packet.data()));
  packet[500] ^= 0xFF;  // data is not covered
  EXPECT_TRUE(NudpChecksumOk(packet.data()));
  for (std::size_t i = 0; i < NUDP_HEADER_LENGTH; ++i) {
    std::vector<std::uint8_t> damaged = packet;
    damaged[i] = static_cast<std::uint8_t>(damaged[i] + 1);
    EXPECT_FALSE(NudpChecksumOk(damaged.data())) << "byte " << i;
  }
}

TEST(NudpHeaders, CommandKeepsOnlyTheLowNibbleOfTop) {
  EXPECT_EQ(BuildCommandHeader(0x15, 0)[2], 0x05);
}

TEST(NudpHeaders, FreeHighBytesOfATop5AnswerAreAdopted) {
  NudpHeader expected = BuildExpectedResponse(BuildCommandHeader(5, 0x12345678));
  NudpHeader answer = expected;
  answer[6] = 0xAB;
  answer[7] = 0xCD;
  answer[3] = NudpChecksum(answer.data());
  ASSERT_NE(expected, answer);
  AdoptFreeHighBytes(expected, answer.data());
  EXPECT_EQ(expected, answer);
  EXPECT_TRUE(NudpChecksumOk(expected.data()));
}

TEST(ClassifyDatagram, AppliesLengthThenSignatureThenWholeTopByte) {
  const std::uint8_t no_sig[8] = {0xFE, 0x00, 0x07, 0, 0, 0, 0, 0};
  const std::uint8_t short7[7] = {0x00, 0x01, 0x07, 0, 0, 0, 0};  // bad signature too
  EXPECT_EQ(ClassifyDatagram(short7, 7), NudpKind::kTooShort);
  EXPECT_EQ(ClassifyDatagram(no_sig, 8), NudpKind::kNoSignature);
  const std::uint8_t second_sig_byte[8] = {0xFF, 0x01, 0x07, 0, 0, 0, 0, 0};
  EXPECT_EQ(ClassifyDatagram(second_sig_byte, 8), NudpKind::kNoSignature);
  const std::uint8_t raw[8] = {0xFF, 0x00, 0x07, 0, 0, 0, 0, 0};
  EXPECT_EQ(ClassifyDatagram(raw, 8), NudpKind::kRawData);  // checksum is judged later
  const std::uint8_t top7_response[8] = {0xFF, 0x00, 0x87, 0, 0, 0, 0, 0};
  EXPECT_EQ(ClassifyDatagram(top7_response, 8), NudpKind::kResponse);
  const std::uint8_t answer[8] = {0xFF, 0x00, 0x80, 0x7A, 0x05, 0x01, 0, 0};
  EXPECT_EQ(ClassifyDatagram(answer, 8), NudpKind::kResponse);
}

TEST(RawGeometry, NumberFieldsMapToOffsetsAndSlots) {
  EXPECT_EQ(RAW_IMAGE_SIZE, 8445952u);
  EXPECT_EQ(RawNumberField(5), 2560u);
  EXPECT_EQ(RawNumberField(RAW_LAST_PACKET_INDEX), 4222464u);
  // Not a multiple of 512: the slot containing its start, the data at its exact offset.
  EXPECT_EQ(RawPacketIndex(513), 1u);
  EXPECT_EQ(RawByteOffset(513), 1026u);
  EXPECT_TRUE(RawPacketInImage(RawNumberField(RAW_LAST_PACKET_INDEX), 1024));
  EXPECT_FALSE(RawPacketInImage(RawNumberField(RAW_LAST_PACKET_INDEX) + 1, 1024));
  EXPECT_FALSE(RawPacketInImage(RawNumberField(RAW_PACKETS_PER_IMAGE), 0));
  EXPECT_FALSE(RawPacketInImage(0xFFFFFFFF, 1024));  // no 32-bit overflow
  EXPECT_TRUE(IsStartRawCommand(0x108));
  EXPECT_FALSE(IsStartRawCommand(0x80));
}

TEST(LogFormat, NumberFieldsPrintInWireOrder) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.8X", WireOrderForLog(0x105));
  EXPECT_STREQ(buf, "05010000");
  std::snprintf(buf, sizeof buf, "%.8X", WireOrderForLog(0x1F600));
  EXPECT_STREQ(buf, "00F60100");
}

}  // namespace
}  // namespace fp
