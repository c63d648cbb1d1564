#include "nudp/NudpSocket.h"

#include "base/LogStream.h"
#include "net/SocketHandler.h"
#include "net/SocketLog.h"

#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestHost.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace fp::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Packet(const NudpHeader& header, std::size_t data_length = 0, std::uint8_t fill = 0) {
  Bytes b(header.begin(), header.end());
  b.resize(NUDP_HEADER_LENGTH + data_length, fill);
  return b;
}

Bytes Response(std::uint8_t top, std::uint32_t number, std::size_t data_length = 0,
               std::uint8_t fill = 0) {
  return Packet(BuildExpectedResponse(BuildCommandHeader(top, number)), data_length, fill);
}

// RAW packet `index`, its number field `words` past the packet's place.
Bytes Raw(int index, std::size_t data_length = RAW_PACKET_DATA_LENGTH, std::uint32_t words = 0) {
  NudpHeader h{NUDP_SIGNATURE_0, NUDP_SIGNATURE_1, NUDP_RAW_TOP_BYTE, 0, 0, 0, 0, 0};
  WriteNumberField(h.data(), RawNumberField(index) + words);
  h[3] = NudpChecksum(h.data());
  Bytes b = Packet(h, data_length);
  for (std::size_t i = 0; i < data_length; ++i) {
    b[NUDP_HEADER_LENGTH + i] = static_cast<std::uint8_t>((index * 7 + static_cast<int>(i)) & 0xFF);
  }
  return b;
}

// Each test's own /24 of 127.3.0.0/16: the camera is .1, the socket .2.
const std::map<std::string, LoopbackSubnet> kSubnets = {
    {"CommandExchangeMovesReadyWaitingReadyAndHandsOverTheAnswer", {3, 1}},
    {"AnswerWithoutDataLeavesBufferAndLengthUntouched", {3, 2}},
    {"LongAnswerIsCutToTheCallersBufferAndTheFullDatagramIsKept", {3, 3}},
    {"TimeoutThenStopWaitingAllowsTheNextCommand", {3, 4}},
    {"DamagedAnswerSetsCmdErrUntilTheNextSend", {3, 5}},
    {"AnswerToAnotherCommandLeavesTheSocketWaiting", {3, 6}},
    {"Top5AnswersMayChangeBytesSixAndSeven", {3, 7}},
    {"StrayTop5PacketDoesNotChangeTheAnswerATop0CommandWaitsFor", {3, 8}},
    {"OpenSuspendAndReopen", {3, 9}},
    {"StartCommandAcceptsRawDataBeforeItsAnswerAndEndsAtTheLastPacket", {3, 10}},
    {"ReceiveChecksDropForeignShortUnsignedAndDamagedDatagrams", {3, 11}},
    {"LastPacketFirstEndsTheImageAtOnce", {3, 12}},
    {"AWholeImageArrivesIntactWhileAnotherThreadWatches", {3, 13}},
    {"DatagramsHandedOverDirectlyAreCheckedLikeReceivedOnes", {3, 14}},
    {"CopyWithOtherDataPutsThePacketInConflictUntilRecovered", {3, 15}},
    {"FurtherAnswerToARepeatedStartRestartsTheImage", {3, 16}},
    {"CountsEachDatagramWhereItIsJudged", {3, 20}},
    {"KeptImageJudgesLateCopiesAndLateStartAnswers", {3, 21}},
};

// One NudpSocket opened towards a peer camera, each test on its own loopback addresses.
class NudpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const auto row = kSubnets.find(name);
    ASSERT_NE(row, kSubnets.end()) << name << " has no row in kSubnets";
    _host = row->second.Host(2);
    _camera_ip = row->second.Host(1);
    _log_path = _dir.File("log.txt");
    _err_path = _dir.File("err.txt");
    ASSERT_TRUE(_log.Open(_log_path));
    ASSERT_TRUE(_err.Open(_err_path));
    _camera = std::make_unique<TestHost>(_camera_ip, kCameraPort);
    ASSERT_TRUE(_camera->Ok());
    _socket = std::make_unique<NudpSocket>(_handler);
    _socket->SetLog(&_log);
    _socket->SetErrLog(&_err);
    ASSERT_EQ(_socket->Bind(Ip(_host), kHostPort), 0);
    _handler.Add(_socket.get());
    ASSERT_TRUE(_socket->Open(Ip(_camera_ip), kCameraPort));
    TakeLogs();
  }
  void TearDown() override { _socket.reset(); }

  void PassesFor(int passes) {
    for (int i = 0; i < passes; ++i) _handler.Select(0, 20000);
  }
  // The driver log and the error log written since the last call.
  std::pair<std::string, std::string> TakeLogs() {
    _log.Flush();
    _err.Flush();
    const std::string log = ReadFile(_log_path);
    const std::string err = ReadFile(_err_path);
    std::pair<std::string, std::string> fresh{log.substr(_log_seen), err.substr(_err_seen)};
    _log_seen = log.size();
    _err_seen = err.size();
    return fresh;
  }
  std::string From() const { return "From: " + _camera_ip + ":1234\n"; }
  std::string At() const { return "NudpSocket::OnRawData() (at " + _host + ":32100):\n"; }
  void Answer(const Bytes& bytes) {
    ASSERT_TRUE(_camera->Send(SimEndpoint{Ip(_host), kHostPort}, bytes.data(), bytes.size()));
  }
  // Sends a command and checks the camera got it.
  void Command(std::uint8_t top, std::uint32_t number) {
    ASSERT_TRUE(_socket->SendCmd(top, number));
    const Bytes got = _camera->Receive(std::chrono::milliseconds(1000));
    const NudpHeader expected = BuildCommandHeader(top, number);
    ASSERT_EQ(got, Bytes(expected.begin(), expected.end()));
  }
  // Delivers one datagram from the camera and runs the loop until the socket has seen it.
  void Deliver(const Bytes& bytes) {
    Answer(bytes);
    _handler.Select(0, 200000);
  }

  static constexpr std::uint16_t kHostPort = 32100;
  static constexpr std::uint16_t kCameraPort = 1234;
  std::string _host, _camera_ip, _log_path, _err_path;
  std::size_t _log_seen = 0, _err_seen = 0;
  LogStream _log, _err;
  SocketHandler _handler;
  TempDir _dir{"nudp_socket_test"};
  std::unique_ptr<TestHost> _camera;
  std::unique_ptr<NudpSocket> _socket;
};

TEST_F(NudpSocketTest, CommandExchangeMovesReadyWaitingReadyAndHandsOverTheAnswer) {
  EXPECT_EQ(_socket->State(), NUDP_READY);
  Command(0, NUDP_CMD_BINNING_ON);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  Deliver(Response(0, NUDP_CMD_BINNING_ON, 4, 0xAB));
  EXPECT_EQ(_socket->State(), NUDP_READY);
  EXPECT_TRUE(_socket->TakePacketArrived());
  EXPECT_FALSE(_socket->TakePacketArrived());
  EXPECT_EQ(_socket->LastTop(), 0);

  std::uint32_t number = 0, length = 99;
  std::uint8_t data[NUDP_MAX_DATA_LENGTH] = {};
  ASSERT_TRUE(_socket->GetResponse(&number, data, &length));
  EXPECT_EQ(number, NUDP_CMD_BINNING_ON);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(data[3], 0xAB);

  const auto [log, err] = TakeLogs();
  EXPECT_EQ(log, "NudpSocket::SendCmd():\nTo: " + _camera_ip +
                     ":1234\nNumber field: 05010000\nData length: 0\nREADY->WAITING\n\n" + At() +
                     From() +
                     "Camera response packet.\nWAITING->READY\nCamera response packet parsed.\n\n");
  EXPECT_EQ(err, "");
}

TEST_F(NudpSocketTest, AnswerWithoutDataLeavesBufferAndLengthUntouched) {
  Command(0, NUDP_CMD_REFRESH);
  Deliver(Response(0, NUDP_CMD_REFRESH));
  std::uint32_t number = 0, length = 77;
  std::uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_TRUE(_socket->GetResponse(&number, data, &length));
  EXPECT_EQ(number, NUDP_CMD_REFRESH);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(data[0], 1);
}

TEST_F(NudpSocketTest, LongAnswerIsCutToTheCallersBufferAndTheFullDatagramIsKept) {
  Command(0, NUDP_CMD_IDENTIFY);
  Deliver(Response(0, NUDP_CMD_IDENTIFY, NUDP_MAX_DATA_LENGTH, 'x'));  // a 1032-byte datagram
  EXPECT_EQ(_socket->State(), NUDP_READY);
  TakeLogs();
  std::uint8_t guarded[40];
  std::memset(guarded, 0, sizeof guarded);
  std::uint32_t length = 0;
  ASSERT_TRUE(_socket->GetResponse(nullptr, guarded, &length, 32));
  EXPECT_EQ(length, 32u);
  EXPECT_EQ(guarded[31], 'x');
  EXPECT_EQ(guarded[32], 0);  // nothing past the capacity
  EXPECT_EQ(TakeLogs().second,
            "NudpSocket::GetResponse():\nResponse data (1024 bytes) cut to 32 bytes.\n\n");
  std::vector<std::uint8_t> full(NUDP_MAX_DATA_LENGTH);
  ASSERT_TRUE(_socket->GetResponse(nullptr, full.data(), &length));
  EXPECT_EQ(length, 1024u);
}

TEST_F(NudpSocketTest, TimeoutThenStopWaitingAllowsTheNextCommand) {
  Command(0, NUDP_CMD_BINNING_ON);
  EXPECT_FALSE(_socket->SendCmd(0, NUDP_CMD_REFRESH));
  EXPECT_EQ(TakeLogs().second, "Socket state != READY, packet not sent.\n\n");
  _handler.Select(0, 50000);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  EXPECT_FALSE(_socket->GetResponse(nullptr, nullptr, nullptr));
  _socket->StopWaiting();
  EXPECT_EQ(_socket->State(), NUDP_READY);
  _socket->StopWaiting();
  const auto [log, err] = TakeLogs();
  EXPECT_EQ(log,
            "NudpSocket::GetResponse():\nState is not READY.\n\n"
            "NudpSocket::StopWaiting():\nWAITING->READY\n\n"
            "NudpSocket::StopWaiting():\nState is not WAITING.\n\n");
  EXPECT_EQ(err, "NudpSocket::GetResponse():\nState is not READY.\n\n");
  Command(0, NUDP_CMD_REFRESH);
}

TEST_F(NudpSocketTest, DamagedAnswerSetsCmdErrUntilTheNextSend) {
  Command(0, NUDP_CMD_BINNING_ON);
  TakeLogs();
  Bytes damaged = Response(0, NUDP_CMD_BINNING_ON);
  damaged[5] ^= 0x40;  // number field changed, checksum no longer right
  Deliver(damaged);
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_CMD_ERR);
  auto [log, err] = TakeLogs();
  EXPECT_EQ(err, "Response damaged (bad checksum).\nWAITING->READY|CMD_ERR\n");
  EXPECT_EQ(log, At() + From() + "Camera response packet.\n" + err +
                     "Camera response packet parsed.\n\n");
  EXPECT_FALSE(_socket->GetResponse(nullptr, nullptr, nullptr));

  // Another answer in READY|CMD_ERR is dropped without a message.
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_CMD_ERR);
  std::tie(log, err) = TakeLogs();
  EXPECT_EQ(log, "NudpSocket::GetResponse():\nState is not READY.\n\n" + At() + From() +
                     "Camera response packet.\nCamera response packet parsed.\n\n");

  // TOP 7 is refused before the flag is looked at.
  EXPECT_FALSE(_socket->SendCmd(7, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_CMD_ERR);
  Command(0, NUDP_CMD_BINNING_ON);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  std::tie(log, err) = TakeLogs();
  EXPECT_NE(log.find("TOP > 6 (not allowed), packet not sent.\n\nNudpSocket::SendCmd():\n"
                     "NUDP_CMD_ERR flag cleared.\nTo: "),
            std::string::npos)
      << log;
}

TEST_F(NudpSocketTest, AnswerToAnotherCommandLeavesTheSocketWaiting) {
  Command(0, NUDP_CMD_BINNING_ON);
  Deliver(Response(0, NUDP_CMD_REFRESH));
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  EXPECT_TRUE(_socket->TakePacketArrived());
  EXPECT_EQ(TakeLogs().second, "Unexpected camera response.\nStill WAITING\n");
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(_socket->State(), NUDP_READY);
  // An answer nobody waits for.
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(TakeLogs().second,
            "Unexpected packet (not a problem for a driver, but should not happen).\n");
}

TEST_F(NudpSocketTest, Top5AnswersMayChangeBytesSixAndSeven) {
  Command(5, 0x11223344);
  Bytes answer = Response(5, 0x11223344);
  answer[6] = 0xAA;
  answer[7] = 0xBB;
  answer[3] = NudpChecksum(answer.data());
  Deliver(answer);
  EXPECT_EQ(_socket->State(), NUDP_READY);
  std::uint32_t number = 0;
  ASSERT_TRUE(_socket->GetResponse(&number, nullptr, nullptr));
  EXPECT_EQ(number, 0xBBAA3344u);
  // For any other TOP the whole number field must match.
  Command(4, 0x11223344);
  Bytes other = Response(4, 0x11223344);
  other[6] = 0xAA;
  other[3] = NudpChecksum(other.data());
  Deliver(other);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
}

TEST_F(NudpSocketTest, StrayTop5PacketDoesNotChangeTheAnswerATop0CommandWaitsFor) {
  Command(0, NUDP_CMD_BINNING_ON);
  TakeLogs();
  Bytes stray = Response(5, NUDP_CMD_BINNING_ON);
  stray[6] = 0xAA;
  stray[7] = 0xBB;
  stray[3] = NudpChecksum(stray.data());
  Deliver(stray);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  EXPECT_EQ(TakeLogs().second, "Unexpected camera response.\nStill WAITING\n");
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(_socket->State(), NUDP_READY);
  std::uint32_t number = 0;
  ASSERT_TRUE(_socket->GetResponse(&number, nullptr, nullptr));
  EXPECT_EQ(number, NUDP_CMD_BINNING_ON);
}

TEST_F(NudpSocketTest, OpenSuspendAndReopen) {
  EXPECT_FALSE(_socket->Open(Ip(_camera_ip), kCameraPort));
  EXPECT_EQ(TakeLogs().second, "Socket still in use.\n\n");
  Command(0, NUDP_CMD_BINNING_ON);
  EXPECT_FALSE(_socket->Suspend());
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  ASSERT_TRUE(_socket->Suspend());
  EXPECT_EQ(_socket->State(), NUDP_CLOSED);
  Deliver(Response(0, NUDP_CMD_BINNING_ON));
  EXPECT_EQ(TakeLogs().second, "Socket state is not READY.\n\nSocket is suspended!\n");
  ASSERT_TRUE(_socket->Open(Ip(_camera_ip), kCameraPort));
  EXPECT_EQ(TakeLogs().first, "NudpSocket::Open():\nCLOSED->READY.\n\n");
}

TEST_F(NudpSocketTest, StartCommandAcceptsRawDataBeforeItsAnswerAndEndsAtTheLastPacket) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0xEE);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  Command(0, 0x108);  // any number field with the low byte 0x08
  EXPECT_EQ(_socket->State(), NUDP_WAITING | NUDP_RAW_DATA);
  EXPECT_FALSE(_socket->PrepareForData(image.data()));
  Deliver(Raw(3));
  EXPECT_EQ(_socket->LastTop(), 7);
  EXPECT_EQ(_socket->RawCount(), 1);
  Deliver(Response(0, 0x108));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_RAW_DATA);
  EXPECT_FALSE(_socket->SendCmd(0, NUDP_CMD_START_RAW));
  TakeLogs();

  Deliver(Raw(3));  // duplicate: neither copied nor counted
  auto [log, err] = TakeLogs();
  EXPECT_EQ(err, "RAW data packet #3 (offset=C00) duplicated.\n");
  EXPECT_EQ(log, At() + From() + "RAW data packet.\n" + err +
                     "RAW data packet #3 (offset=C00, length=1024) parsed.\n\n");
  Deliver(Raw(RAW_LAST_PACKET_INDEX));
  EXPECT_EQ(_socket->State(), NUDP_READY);
  EXPECT_EQ(_socket->RawCount(), 2);
  EXPECT_EQ(_socket->LastPacket(), RAW_LAST_PACKET_INDEX);
  std::tie(log, err) = TakeLogs();
  EXPECT_EQ(log, At() + From() +
                     "RAW data packet.\nLast RAW data packet in this image.\n"
                     "NudpSocket::StopData():\nNUDP state: 1.\n\n"
                     "RAW data packet #8247 (offset=80DC00, length=1024) parsed.\n\n");
  Deliver(Raw(4));  // after the last packet the image is closed
  EXPECT_EQ(TakeLogs().second, "Socket is not expecting RAW data.\n");
  EXPECT_EQ(_socket->RawCount(), 2);
  EXPECT_TRUE(_socket->PacketStored(3));
  EXPECT_FALSE(_socket->PacketStored(4));

  const Bytes p3 = Raw(3);
  EXPECT_TRUE(std::equal(p3.begin() + 8, p3.end(), image.begin() + 3 * 1024));
  EXPECT_EQ(image[4 * 1024], 0xEE);

  // A new start clears the map and the counts again.
  Command(0, NUDP_CMD_START_RAW);
  EXPECT_EQ(_socket->RawCount(), 0);
  EXPECT_FALSE(_socket->PacketStored(3));
}

TEST_F(NudpSocketTest, ReceiveChecksDropForeignShortUnsignedAndDamagedDatagrams) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  Command(0, NUDP_CMD_START_RAW);
  Deliver(Response(0, NUDP_CMD_START_RAW));
  ASSERT_TRUE(_socket->TakePacketArrived());
  TakeLogs();

  // The connected descriptor lets only the camera's datagrams through, so a stranger can only
  // be shown to the receive path directly.
  const Bytes raw1 = Raw(1);
  sockaddr_in stranger{};
  stranger.sin_family = AF_INET;
  stranger.sin_addr.s_addr = Ip(_camera_ip);
  stranger.sin_port = htons(1235);
  _socket->OnRawData(raw1.data(), raw1.size(), reinterpret_cast<sockaddr*>(&stranger),
                     sizeof stranger);
  EXPECT_FALSE(_socket->TakePacketArrived());
  auto [log, err] = TakeLogs();
  EXPECT_EQ(err, "Unexpected sender.\n\n");
  EXPECT_EQ(log, At() + "From: " + _camera_ip + ":1235\n" + err);
  _socket->OnRawData(raw1.data(), raw1.size(), reinterpret_cast<sockaddr*>(&stranger), 8);
  EXPECT_FALSE(_socket->TakePacketArrived());
  EXPECT_EQ(TakeLogs(), std::make_pair(At(), std::string()));
  EXPECT_EQ(_socket->RawCount(), 0);

  Deliver(Bytes{0xFF, 0x00, 0x07, 0, 0, 0, 0});
  EXPECT_EQ(TakeLogs().second, "UDP packet length < 8.\n\n");
  Deliver(Bytes{0xFF, 0x01, 0x07, 0xF8, 0, 0, 0, 0});
  EXPECT_EQ(TakeLogs().second, "No NUDP signature.\n\n");
  EXPECT_FALSE(_socket->TakePacketArrived());

  Bytes bad = Raw(2);
  bad[3] ^= 1;
  Deliver(bad);
  EXPECT_TRUE(_socket->TakePacketArrived());  // set before the checksum is looked at
  EXPECT_EQ(_socket->LastTop(), 7);
  EXPECT_EQ(TakeLogs().second, "Checksum is not correct.\n\n");
  EXPECT_EQ(_socket->RawCount(), 0);

  // A packet that does not bring exactly one packet's data for one packet's place is neither
  // stored nor counted: it would leave part of its place stale.
  struct Misfit {
    std::size_t length;
    std::uint32_t words;
    const char* line;
  };
  const Misfit misfits[] = {
      {0, 0, "RAW data packet #9 (offset=2400, length=0) does not fill its place, dropped.\n\n"},
      {100, 0,
       "RAW data packet #9 (offset=2400, length=100) does not fill its place, dropped.\n\n"},
      {1023, 0,
       "RAW data packet #9 (offset=2400, length=1023) does not fill its place, dropped.\n\n"},
      {2, 1, "RAW data packet #9 (offset=2402, length=2) does not fill its place, dropped.\n\n"},
      {1022, 511,
       "RAW data packet #9 (offset=27FE, length=1022) does not fill its place, dropped.\n\n"},
  };
  for (const Misfit& m : misfits) {
    Deliver(Raw(9, m.length, m.words));
    EXPECT_TRUE(_socket->TakePacketArrived());
    EXPECT_EQ(TakeLogs().second, m.line);
  }
  EXPECT_EQ(_socket->RawCount(), 0);
  EXPECT_FALSE(_socket->PacketStored(9));
  EXPECT_EQ(image[9 * 1024 + 2], 0);
  Deliver(Raw(9));
  EXPECT_EQ(_socket->RawCount(), 1);
  EXPECT_TRUE(_socket->PacketStored(9));
  Deliver(Raw(RAW_PACKETS_PER_IMAGE));
  NudpHeader tail{NUDP_SIGNATURE_0, NUDP_SIGNATURE_1, NUDP_RAW_TOP_BYTE, 0, 0, 0, 0, 0};
  WriteNumberField(tail.data(), RawNumberField(RAW_LAST_PACKET_INDEX) + 1);  // 2 bytes too far
  tail[3] = NudpChecksum(tail.data());
  Deliver(Packet(tail, RAW_PACKET_DATA_LENGTH, 0x55));
  EXPECT_EQ(TakeLogs().second,
            "RAW data packet #8248 (offset=80E000) outside the image, dropped.\n\n"
            "RAW data packet #8247 (offset=80DC02) outside the image, dropped.\n\n");
  EXPECT_EQ(_socket->RawCount(), 1);
  EXPECT_EQ(_socket->LastPacket(), 9);
  EXPECT_FALSE(_socket->PacketStored(RAW_LAST_PACKET_INDEX));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_RAW_DATA);
}

TEST_F(NudpSocketTest, CopyWithOtherDataPutsThePacketInConflictUntilRecovered) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  Command(0, NUDP_CMD_START_RAW);
  Deliver(Response(0, NUDP_CMD_START_RAW));
  Deliver(Raw(3));
  Deliver(Raw(4));
  TakeLogs();
  Bytes other = Raw(3);
  other.back() ^= 1;  // the last data byte differs

  // Copies are compared with what is stored: the same data is a plain duplicate; other data is
  // a conflict, and the packet is missing again; later copies never fill it, whatever they
  // bring, and each one that differs from the first copy counts.
  struct Copy {
    const Bytes& bytes;
    const char* line;
    std::uint64_t conflicts;
  };
  const char* const duplicated = "RAW data packet #3 (offset=C00) duplicated.\n";
  const char* const conflict =
      "RAW data packet #3 (offset=C00) duplicated with other data: counted as missing.\n";
  const Bytes same = Raw(3);
  for (const Copy& c : {Copy{same, duplicated, 0}, Copy{other, conflict, 1},
                        Copy{same, duplicated, 1}, Copy{other, conflict, 2}}) {
    Deliver(c.bytes);
    const auto [log, err] = TakeLogs();
    EXPECT_EQ(err, c.line);
    EXPECT_EQ(log, At() + From() + "RAW data packet.\n" + err +
                       "RAW data packet #3 (offset=C00, length=1024) parsed.\n\n");
    EXPECT_EQ(_socket->Counts().conflicts, c.conflicts);
    EXPECT_EQ(_socket->RawCount(), c.conflicts == 0 ? 2 : 1);
    EXPECT_EQ(_socket->PacketStored(3), c.conflicts == 0);
  }
  EXPECT_TRUE(std::equal(same.begin() + 8, same.end(), image.begin() + 3 * 1024));
  EXPECT_TRUE(_socket->PacketStored(4));

  // A new start clears the conflict with the map: a copy is a first copy again.
  _socket->StopData();
  Command(0, NUDP_CMD_START_RAW);
  Deliver(other);
  EXPECT_TRUE(_socket->PacketStored(3));
  EXPECT_EQ(_socket->Counts().conflicts, 2u);
  EXPECT_EQ(_socket->Counts().duplicates, 2u);
}

TEST_F(NudpSocketTest, FurtherAnswerToARepeatedStartRestartsTheImage) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  // 0x08 three times, two attempts timed out: the late answer to the first ends the third one's
  // wait.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Command(0, NUDP_CMD_START_RAW);
    _socket->StopWaiting();
    _socket->ClearRawDataFlag();
  }
  Command(0, NUDP_CMD_START_RAW);
  Deliver(Response(0, NUDP_CMD_START_RAW));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_RAW_DATA);
  Deliver(Raw(0));
  Deliver(Raw(1));
  EXPECT_EQ(_socket->RawCount(), 2);
  TakeLogs();

  // The answer to the second: the camera started again, what came before is dropped.
  Deliver(Response(0, NUDP_CMD_START_RAW));
  auto [log, err] = TakeLogs();
  EXPECT_EQ(err,
            "Answer to a repeated 0x08 command: the camera started its image again, the packets "
            "stored before are dropped.\n");
  EXPECT_EQ(log, At() + From() + "Camera response packet.\n" + err +
                     "Camera response packet parsed.\n\n");
  EXPECT_EQ(_socket->Restarts(), 1u);
  EXPECT_EQ(_socket->RawCount(), 0);
  EXPECT_FALSE(_socket->PacketStored(0));
  EXPECT_EQ(_socket->State(), NUDP_READY | NUDP_RAW_DATA);
  Deliver(Raw(0));
  EXPECT_EQ(_socket->RawCount(), 1);

  // Once the image has ended, the answer to the third is late: a stray like every other answer
  // nobody waits for, and so is any copy after every 0x08 has been answered.
  _socket->StopData();
  TakeLogs();
  for (int late = 0; late < 2; ++late) {
    Deliver(Response(0, NUDP_CMD_START_RAW));
    EXPECT_EQ(TakeLogs().second,
              "Unexpected packet (not a problem for a driver, but should not happen).\n");
  }
  EXPECT_EQ(_socket->Restarts(), 1u);
  EXPECT_EQ(_socket->RawCount(), 1);
  EXPECT_TRUE(_socket->PacketStored(0));
}

// After its transfer, a kept image still hears about its exposure: a late copy with other data
// of a packet stored before the 0x08's answer is a conflict; of one stored after it, a stream
// without a 0x08, so everything stored is dropped; a late answer to a repeated 0x08 takes the
// new exposure's stream. Once handed over, all of it is refused or stray as before.
TEST_F(NudpSocketTest, KeptImageJudgesLateCopiesAndLateStartAnswers) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  Bytes other = Raw(5);
  other.back() ^= 1;
  const char* const refused = "Socket is not expecting RAW data.\n";
  struct Case {
    const char* name;
    bool early;  // packet 5 is stored before the 0x08 is answered
    bool kept;
    const Bytes& late;
    const std::string err;
    std::int32_t raw_count;  // after the late copy
    std::uint64_t restarts;
  };
  const Case cases[] = {
      {"the same data", false, true, Raw(5), refused, 2, 0},
      {"other data, stored early", true, true, other,
       "RAW data packet #5 (offset=1400) duplicated with other data: counted as missing.\n", 1, 0},
      {"other data, stored after the answer", false, true, other,
       "RAW data packet #5 (offset=1400) came after its transfer with other data: the camera "
       "streams without a 0x08 command, the packets stored are dropped and the image is fetched "
       "again.\n",
       0, 1},
      {"other data, handed over", false, false, other, refused, 2, 0},
  };
  std::uint64_t restarts = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(_socket->PrepareForData(image.data()));
    Command(0, NUDP_CMD_START_RAW);
    if (c.early) Deliver(Raw(5));
    Deliver(Response(0, NUDP_CMD_START_RAW));
    if (!c.early) Deliver(Raw(5));
    Deliver(Raw(6));
    _socket->StopData();
    if (c.kept) _socket->KeepImage();
    TakeLogs();
    Deliver(c.late);
    EXPECT_EQ(TakeLogs().second, c.err);
    EXPECT_EQ(_socket->RawCount(), c.raw_count);
    restarts += c.restarts;
    EXPECT_EQ(_socket->Restarts(), restarts);
    EXPECT_FALSE(_socket->IsTakingData());
  }

  // A late answer to a repeated 0x08: restarts a kept image and takes the new stream into it;
  // after the hand-over it is a stray, counted so that its stream can be waited out.
  for (const bool kept : {true, false}) {
    SCOPED_TRACE(kept ? "answer while kept" : "answer after the hand-over");
    ASSERT_TRUE(_socket->PrepareForData(image.data()));
    Command(0, NUDP_CMD_START_RAW);
    _socket->StopWaiting();
    _socket->ClearRawDataFlag();
    Command(0, NUDP_CMD_START_RAW);
    Deliver(Response(0, NUDP_CMD_START_RAW));
    Deliver(Raw(RAW_LAST_PACKET_INDEX));
    if (kept) _socket->KeepImage();
    const std::uint64_t strays = _socket->StrayStartAnswers();
    Deliver(Response(0, NUDP_CMD_START_RAW));
    EXPECT_EQ(_socket->IsTakingData(), kept);
    EXPECT_EQ(_socket->StrayStartAnswers(), strays + (kept ? 0 : 1));
    EXPECT_EQ(_socket->RawCount(), kept ? 0 : 1);
    Deliver(Raw(7));
    EXPECT_EQ(_socket->PacketStored(7), kept);
    _socket->StopData();
    _socket->HandOver();
  }
}

TEST_F(NudpSocketTest, LastPacketFirstEndsTheImageAtOnce) {
  ASSERT_TRUE(_socket->PrepareForData(nullptr));
  Command(0, NUDP_CMD_START_RAW);
  Deliver(Raw(RAW_LAST_PACKET_INDEX));
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  Deliver(Raw(0));
  EXPECT_EQ(_socket->RawCount(), 1);  // stored without an image, then refused
  EXPECT_TRUE(_socket->PacketStored(RAW_LAST_PACKET_INDEX));
  Deliver(Raw(RAW_LAST_PACKET_INDEX));
  EXPECT_EQ(TakeLogs().second,
            "Socket is not expecting RAW data.\nSocket is not expecting RAW data.\n");
}

TEST_F(NudpSocketTest, AWholeImageArrivesIntactWhileAnotherThreadWatches) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  Command(0, NUDP_CMD_START_RAW);
  Deliver(Response(0, NUDP_CMD_START_RAW));

  // The driver follows a transfer from other threads without taking the socket's lock.
  std::atomic<bool> done{false};
  std::int32_t highest_seen = 0;
  std::thread watcher([&] {
    while (!done.load()) {
      const std::int32_t count = _socket->RawCount();
      EXPECT_GE(count, highest_seen);
      highest_seen = count;
      (void)_socket->State();
      (void)_socket->LastPacket();
      (void)_socket->PacketStored(count % RAW_PACKETS_PER_IMAGE);
    }
  });
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
    Answer(Raw(i));
    // Drain as we go, so the test does not depend on a kernel buffer that holds a whole image.
    if (i % 44 == 43) {
      for (int pass = 0; pass < 4; ++pass) _handler.Select(0, 0);
    }
  }
  for (int pass = 0; pass < 2000 && (_socket->State() & NUDP_RAW_DATA) != 0; ++pass) {
    _handler.Select(0, 100000);
  }
  done.store(true);
  watcher.join();
  EXPECT_EQ(_socket->RawCount(), RAW_PACKETS_PER_IMAGE);
  EXPECT_EQ(_socket->State(), NUDP_READY);
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
    const Bytes p = Raw(i);
    ASSERT_TRUE(std::equal(p.begin() + 8, p.end(), image.begin() + i * 1024)) << "packet " << i;
  }
}

// What a step of the receive path adds to each count.
NudpCounts Added(const NudpCounts& before, const NudpCounts& after) {
  NudpCounts added = after;
  ForEachCount(added, before,
               [](const char*, std::uint64_t& to, std::uint64_t from) { to -= from; });
  return added;
}

std::string Text(const NudpCounts& counts) {
  std::string text;
  ForEachCount(counts, counts, [&text](const char* name, std::uint64_t value, std::uint64_t) {
    if (value != 0) text += std::string(name) + "=" + std::to_string(value) + " ";
  });
  return text;
}

TEST_F(NudpSocketTest, CountsEachDatagramWhereItIsJudged) {
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE, 0);
  ASSERT_TRUE(_socket->PrepareForData(image.data()));
  sockaddr_in camera{};
  camera.sin_family = AF_INET;
  camera.sin_addr.s_addr = Ip(_camera_ip);
  camera.sin_port = htons(kCameraPort);
  sockaddr_in stranger = camera;
  stranger.sin_port = htons(kCameraPort + 1);
  auto direct = [this](const Bytes& bytes, const sockaddr_in& from, std::uint32_t from_length) {
    _socket->OnRawData(bytes.data(), bytes.size(), reinterpret_cast<const sockaddr*>(&from),
                       from_length);
  };
  Bytes bad_checksum = Raw(2);
  bad_checksum[3] ^= 1;
  Bytes damaged_answer = Response(0, NUDP_CMD_BINNING_ON);
  damaged_answer[5] ^= 0x40;
  Bytes other_data = Raw(1);
  other_data.back() ^= 1;
  struct Step {
    const char* what;
    std::function<void()> action;
    const char* added;  // the counts that grow, each by the number given
  };
  const std::vector<Step> steps = {
      {"start command sent", [&] { Command(0, NUDP_CMD_START_RAW); }, ""},
      {"RAW packet before the answer", [&] { Deliver(Raw(1)); },
       "received_packets=1 raw_packets=1 stored_packets=1 "},
      {"the answer", [&] { Deliver(Response(0, NUDP_CMD_START_RAW)); },
       "received_packets=1 matched_answers=1 "},
      {"the same packet again", [&] { Deliver(Raw(1)); },
       "received_packets=1 raw_packets=1 duplicate_packets=1 "},
      {"the same packet with other data", [&] { Deliver(other_data); },
       "received_packets=1 raw_packets=1 conflicting_packets=1 "},
      {"a packet that does not fill its place", [&] { Deliver(Raw(5, 100)); },
       "received_packets=1 damaged_packets=1 raw_packets=1 "},
      {"from another port", [&] { direct(Raw(3), stranger, sizeof stranger); },
       "received_packets=1 foreign_packets=1 "},
      {"not IPv4", [&] { direct(Raw(3), camera, 8); }, "received_packets=1 foreign_packets=1 "},
      {"too short",
       [&] {
         Deliver(Bytes{0xFF, 0x00, 0x07, 0, 0, 0, 0});
       },
       "received_packets=1 damaged_packets=1 "},
      {"too long", [&] { direct(Raw(3, NUDP_MAX_DATA_LENGTH + 1), camera, sizeof camera); },
       "received_packets=1 damaged_packets=1 "},
      {"no signature",
       [&] {
         Deliver(Bytes{0xFF, 0x01, 0x07, 0xF8, 0, 0, 0, 0});
       },
       "received_packets=1 damaged_packets=1 "},
      {"RAW checksum wrong", [&] { Deliver(bad_checksum); },
       "received_packets=1 damaged_packets=1 raw_packets=1 "},
      {"beyond the image", [&] { Deliver(Raw(RAW_PACKETS_PER_IMAGE)); },
       "received_packets=1 damaged_packets=1 raw_packets=1 "},
      {"an answer nobody waits for", [&] { Deliver(Response(0, NUDP_CMD_START_RAW)); },
       "received_packets=1 stray_answers=1 "},
      {"the last packet", [&] { Deliver(Raw(RAW_LAST_PACKET_INDEX)); },
       "received_packets=1 raw_packets=1 stored_packets=1 "},
      {"after the last packet", [&] { Deliver(Raw(4)); },
       "received_packets=1 raw_packets=1 refused_packets=1 "},
      {"binning on sent", [&] { Command(0, NUDP_CMD_BINNING_ON); }, ""},
      {"the answer to another command", [&] { Deliver(Response(0, NUDP_CMD_REFRESH)); },
       "received_packets=1 stray_answers=1 "},
      {"a damaged answer", [&] { Deliver(damaged_answer); },
       "received_packets=1 damaged_packets=1 "},
      {"an answer after the damaged one", [&] { Deliver(Response(0, NUDP_CMD_BINNING_ON)); },
       "received_packets=1 stray_answers=1 "},
      {"suspended", [&] { ASSERT_TRUE(_socket->Suspend()); }, ""},
      {"an answer while suspended", [&] { Deliver(Response(0, NUDP_CMD_BINNING_ON)); },
       "received_packets=1 stray_answers=1 "},
  };
  NudpCounts before = _socket->Counts();
  for (const Step& step : steps) {
    step.action();
    const NudpCounts after = _socket->Counts();
    EXPECT_EQ(Text(Added(before, after)), step.added) << step.what;
    before = after;
  }
  EXPECT_EQ(_socket->DatagramsSeen(), before.received);
}

struct RecordingLog : SocketLog {
  void Report(SocketHandler&, Socket*, const std::string& call, std::int32_t code,
              const std::string& text, ReportLevel level) override {
    reports.push_back(call + "|" + std::to_string(code) + "|" + text + "|" + std::to_string(level));
  }
  std::vector<std::string> reports;
};

TEST_F(NudpSocketTest, DatagramsHandedOverDirectlyAreCheckedLikeReceivedOnes) {
  sockaddr_in camera{};
  camera.sin_family = AF_INET;
  camera.sin_addr.s_addr = Ip(_camera_ip);
  camera.sin_port = htons(kCameraPort);
  Command(0, NUDP_CMD_IDENTIFY);
  TakeLogs();
  const Bytes oversize = Response(0, NUDP_CMD_IDENTIFY, NUDP_MAX_DATA_LENGTH + 1);
  _socket->OnRawData(oversize.data(), oversize.size(), reinterpret_cast<sockaddr*>(&camera),
                     sizeof camera);
  EXPECT_EQ(_socket->State(), NUDP_WAITING);
  EXPECT_EQ(TakeLogs().second, "UDP packet length > 1032.\n\n");

  // Before Bind there is no local address to show.
  NudpSocket unbound(_handler);
  unbound.SetLog(&_log);
  unbound.OnRawData(oversize.data(), oversize.size(), reinterpret_cast<sockaddr*>(&camera), 8);
  EXPECT_EQ(TakeLogs().first, "NudpSocket::OnRawData() (at ):\n");
}

TEST(NudpSocketBuffer, AsksForAReceiveBufferThatHoldsAWholeImageOrSaysWhyNot) {
  RecordingLog reports;
  SocketHandler handler(&reports);
  NudpSocket socket(handler);
  int granted = 0;
  socklen_t size = sizeof granted;
  ASSERT_EQ(getsockopt(socket.GetDescriptor(), SOL_SOCKET, SO_RCVBUF, &granted, &size), 0);
  if (granted >= NudpSocket::kReceiveBufferRequest) {
    EXPECT_TRUE(reports.reports.empty());
  } else {
    // Capped, and not allowed to pass the cap: one warning that names the cap.
    ASSERT_EQ(reports.reports.size(), 1u);
    EXPECT_EQ(reports.reports[0].rfind("setsockopt(SOL_SOCKET, SO_RCVBUF)|" +
                                           std::to_string(granted) + "|receive buffer capped",
                                       0),
              0u)
        << reports.reports[0];
    EXPECT_EQ(reports.reports[0].back(), '0');
  }
  std::printf("receive buffer granted: %d bytes (room for %d datagrams)\n", granted,
              granted / NudpSocket::kKernelBytesPerRawDatagram);
}

// hostcheck judges a host's rmem_max with the driver's figures: what it asks for, and what one
// image takes of the buffer as the kernel counts it.
TEST(NudpSocketBuffer, HostcheckJudgesWithTheSameFigures) {
  const std::string script = ReadFile(HOSTCHECK_PATH);
  const auto value = [&](const std::string& name) -> long long {
    const std::string key = "\nreadonly " + name + "=";
    const std::size_t at = script.find(key);
    return at == std::string::npos ? -1 : std::stoll(script.substr(at + key.size()));
  };
  EXPECT_EQ(value("image_buffer_bytes"), NudpSocket::kImageReceiveBufferBytes);
  EXPECT_EQ(value("buffer_request"), NudpSocket::kReceiveBufferRequest);
  EXPECT_EQ(value("image_bytes"), static_cast<long long>(RAW_IMAGE_SIZE));
}

}  // namespace
}  // namespace fp::test
