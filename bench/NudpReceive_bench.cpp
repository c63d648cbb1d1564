// Cost of the NUDP receive path for one whole RAW image: 8248 datagrams of 1032 bytes queued on
// loopback, then drained through SocketHandler::Select -> UdpSocket::OnRead ->
// NudpSocket::OnRawData into the image. Only the draining is timed; the sending is not.
//
// Run: build/release/bench/nudp_receive_bench

#include "base/LogStream.h"
#include "net/Address.h"
#include "net/SocketHandler.h"
#include "net/UdpSocket.h"
#include "nudp/NudpSocket.h"

#include "tests/support/Loopback.h"
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fp {
namespace {

using test::Ip;

std::vector<std::uint8_t> RawPacket(int index) {
  std::vector<std::uint8_t> packet(NUDP_MAX_PACKET_LENGTH);
  packet[0] = NUDP_SIGNATURE_0;
  packet[1] = NUDP_SIGNATURE_1;
  packet[2] = NUDP_RAW_TOP_BYTE;
  WriteNumberField(packet.data(), RawNumberField(index));
  packet[3] = NudpChecksum(packet.data());
  for (std::size_t i = NUDP_HEADER_LENGTH; i < packet.size(); ++i) {
    packet[i] = static_cast<std::uint8_t>(index + static_cast<int>(i));
  }
  return packet;
}

void BM_ReceiveImage(benchmark::State& state) {
  const bool with_logs = state.range(0) != 0;
  constexpr std::uint16_t kHostPort = 32100;
  constexpr std::uint16_t kCameraPort = 1234;
  const std::uint32_t host = Ip("127.4.0.1");
  const std::uint32_t camera = Ip("127.4.0.2");

  const std::string base = "/tmp/frameprobe_bench_" + std::to_string(getpid());
  LogStream log, err_log;
  if (with_logs) {
    log.Open(base + "_log.txt");
    err_log.Open(base + "_err.txt");
  }

  SocketHandler handler;
  auto socket = std::make_unique<NudpSocket>(handler);
  socket->SetLog(with_logs ? &log : nullptr);
  socket->SetErrLog(with_logs ? &err_log : nullptr);
  if (socket->Bind(host, kHostPort) != 0) {
    state.SkipWithError("cannot bind the receiver");
    return;
  }
  handler.Add(socket.get());
  socket->Open(camera, kCameraPort);

  SocketHandler sender_handler;
  auto sender = std::make_unique<UdpSocket>(sender_handler, 2048);
  std::uint16_t port = kCameraPort;
  if (sender->Bind(camera, port, 0) != 0 || !sender->Open(host, kHostPort)) {
    state.SkipWithError("cannot bind the sender");
    return;
  }

  std::vector<std::vector<std::uint8_t>> packets;
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) packets.push_back(RawPacket(i));
  std::vector<std::uint8_t> image(RAW_IMAGE_SIZE);

  for (auto _ : state) {
    state.PauseTiming();
    socket->PrepareForData(image.data());
    socket->SendCmd(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW);
    for (const auto& p : packets) sender->SendBuf(p.data(), p.size(), 0);
    state.ResumeTiming();

    for (int pass = 0; pass < 10000 && socket->IsTakingData(); ++pass) {
      handler.Select(0, 100000);
    }

    state.PauseTiming();
    const bool complete = socket->RawCount() == RAW_PACKETS_PER_IMAGE;
    socket->StopWaiting();
    if (!complete) {
      state.SkipWithError("packets lost: the kernel receive buffer does not hold an image");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["packets/s"] =
      benchmark::Counter(RAW_PACKETS_PER_IMAGE, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["s/packet"] =
      benchmark::Counter(RAW_PACKETS_PER_IMAGE, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
  state.SetLabel(with_logs ? "logs open" : "no logs");

  sender.reset();
  socket.reset();
  std::remove((base + "_log.txt").c_str());
  std::remove((base + "_err.txt").c_str());
}

BENCHMARK(BM_ReceiveImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace fp

BENCHMARK_MAIN();
