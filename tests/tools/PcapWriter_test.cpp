#include "tools/camsim/PcapWriter.h"

#include "PcapReader.h"
#include "tests/support/Loopback.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fp::test {
namespace {

using std::chrono::microseconds;
using std::chrono::system_clock;

// A capture file of the test's own, removed afterwards.
class CaptureFile {
 public:
  CaptureFile() {
    char pattern[] = "/tmp/pcapwriter_test_XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    _path = pattern;
  }
  ~CaptureFile() { std::remove(_path.c_str()); }
  const std::string& Path() const { return _path; }
  std::uintmax_t Size() const { return std::filesystem::file_size(_path); }

 private:
  std::string _path;
};

TEST(InternetChecksum, OfAKnownIpv4Header) {
  // A header with its checksum field zeroed; its checksum is 0xB861.
  const std::uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                   0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
  EXPECT_EQ(InternetChecksum(header, sizeof header), 0xB861);
  // An odd length pads with a zero byte; a carried sum continues.
  const std::uint8_t odd[3] = {0x12, 0x34, 0x56};
  EXPECT_EQ(InternetChecksum(odd, 3), static_cast<std::uint16_t>(~(0x1234 + 0x5600)));
  EXPECT_EQ(InternetChecksum(odd, 2, 0xFFFF), static_cast<std::uint16_t>(~0x1234));
}

// Each test's writer, its error text and a capture file of the test's own to write.
class PcapWriterTest : public ::testing::Test {
 protected:
  CaptureFile file;
  PcapWriter writer;
  std::string error;
};

TEST_F(PcapWriterTest, FirstRecordHasTheKnownIpv4Header) {
  ASSERT_TRUE(writer.Open(file.Path(), error)) << error;
  const std::vector<std::uint8_t> payload(0x73 - 28, 0xAB);
  writer.Record(At("192.168.0.1", 1234), At("192.168.0.199", 32100), system_clock::now(),
                payload.data(), payload.size());
  ASSERT_TRUE(writer.Close()) << writer.Error();

  std::vector<CapturedDatagram> records;
  ASSERT_TRUE(ReadCapture(file.Path(), records, error)) << error;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ip_header, (std::vector<std::uint8_t>{
                                      0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                      0xB8, 0x61, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7}));
  EXPECT_EQ(records[0].problems, "");
}

TEST_F(PcapWriterTest, RecordsReadBackWithRightHeadersAndTimes) {
  ASSERT_TRUE(writer.Open(file.Path(), error)) << error;
  const SimEndpoint host = At("127.11.0.2", 32100);
  const SimEndpoint camera = At("127.11.0.1", 1234);
  const system_clock::time_point t0(microseconds(1765000000123456));
  const std::vector<std::uint8_t> command = {0xFF, 0x00, 0x00, 0xFA, 0x05, 0x01, 0x00, 0x00};
  const std::vector<std::uint8_t> head = {0xFF, 0x00, 0x80, 0x76, 0x0A, 0x00, 0x00, 0x00};
  const std::vector<std::uint8_t> tail = {0x00, 0x10, 0x00};  // odd: the checksum pads
  std::vector<std::uint8_t> raw(1032);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7);
  writer.Record(host, camera, t0, command.data(), command.size());
  writer.Record(camera, host, t0 + microseconds(999999), head.data(), head.size(), tail.data(),
                tail.size());
  writer.Record(camera, host, t0 + microseconds(1000001), raw.data(), raw.size());
  writer.Record(camera, host, t0, nullptr, 0);  // an empty datagram
  EXPECT_EQ(writer.Records(), 4u);
  ASSERT_TRUE(writer.Close()) << writer.Error();

  std::vector<CapturedDatagram> records;
  ASSERT_TRUE(ReadCapture(file.Path(), records, error)) << error;
  ASSERT_EQ(records.size(), 4u);
  for (const CapturedDatagram& d : records) EXPECT_EQ(d.problems, "");
  EXPECT_EQ(records[0].from, host);
  EXPECT_EQ(records[0].to, camera);
  EXPECT_EQ(records[0].payload, command);
  EXPECT_EQ(records[0].seconds, 1765000000u);
  EXPECT_EQ(records[0].microseconds, 123456u);
  EXPECT_EQ(records[1].from, camera);
  EXPECT_EQ(records[1].to, host);
  std::vector<std::uint8_t> answer = head;
  answer.insert(answer.end(), tail.begin(), tail.end());
  EXPECT_EQ(records[1].payload, answer);
  EXPECT_EQ(records[1].seconds, 1765000001u);
  EXPECT_EQ(records[1].microseconds, 123455u);
  EXPECT_EQ(records[2].payload, raw);
  EXPECT_EQ(records[2].seconds, 1765000001u);
  EXPECT_EQ(records[2].microseconds, 123457u);
  EXPECT_TRUE(records[3].payload.empty());
  // Each record has its own IPv4 identification.
  EXPECT_NE(records[0].ip_header[5], records[1].ip_header[5]);
}

TEST_F(PcapWriterTest, ADamagedByteShowsAsAWrongChecksum) {
  {
    PcapWriter scoped;
    ASSERT_TRUE(scoped.Open(file.Path(), error)) << error;
    const std::vector<std::uint8_t> payload = {0xFF, 0x00, 0x00, 0x11, 0xEF, 0x00, 0x00, 0x00};
    scoped.Record(At("127.11.0.2", 32100), At("127.11.0.1", 1234), system_clock::now(),
                  payload.data(), payload.size());
  }  // the destructor writes and closes
  // Byte 10 of the payload: file header 24, record header 16, IPv4 20, UDP 8.
  {
    std::fstream f(file.Path(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(24 + 16 + 20 + 8 + 4);
    f.put(static_cast<char>(0xEE));
  }
  std::vector<CapturedDatagram> records;
  ASSERT_TRUE(ReadCapture(file.Path(), records, error)) << error;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].problems, "wrong UDP checksum\n");
}

TEST_F(PcapWriterTest, RecordsStayInMemoryUntilWritten) {
  ASSERT_TRUE(writer.Open(file.Path(), error)) << error;
  EXPECT_EQ(file.Size(), 24u);  // the file header is written at once
  const std::vector<std::uint8_t> payload(1032, 0x5A);
  for (int i = 0; i < 100; ++i) {
    writer.Record(At("127.11.0.1", 1234), At("127.11.0.2", 32100), system_clock::now(),
                  payload.data(), payload.size());
  }
  const std::size_t record = 16 + 20 + 8 + 1032;
  EXPECT_EQ(writer.Buffered(), 100 * record);
  EXPECT_EQ(file.Size(), 24u);
  ASSERT_TRUE(writer.WriteSome(1000)) << writer.Error();
  EXPECT_EQ(writer.Buffered(), 100 * record - 1000);
  EXPECT_EQ(file.Size(), 24u + 1000);
  ASSERT_TRUE(writer.Flush()) << writer.Error();
  EXPECT_EQ(writer.Buffered(), 0u);
  EXPECT_EQ(file.Size(), 24u + 100 * record);
}

TEST_F(PcapWriterTest, AFileThatCannotBeOpenedIsAnError) {
  EXPECT_FALSE(writer.Open("/nonexistent-dir/x.pcap", error));
  EXPECT_EQ(error, "cannot open capture file /nonexistent-dir/x.pcap: No such file or directory");
  EXPECT_FALSE(writer.IsOpen());
  // Nothing is recorded, and nothing fails, without a file.
  const std::uint8_t byte = 0;
  writer.Record(At("127.11.0.1", 1), At("127.11.0.2", 2), system_clock::now(), &byte, 1);
  EXPECT_EQ(writer.Records(), 0u);
  EXPECT_TRUE(writer.Close());
}

TEST_F(PcapWriterTest, AFileThatCannotBeWrittenIsAnError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
  // The 24-byte file header already fails on a device that is always full.
  EXPECT_FALSE(writer.Open("/dev/full", error));
  EXPECT_EQ(error, "cannot write capture file /dev/full: No space left on device");
}

}  // namespace
}  // namespace fp::test
