// Command round trips through CEthCamera while its listener idles: one SendCmd(0xEF) answered by
// the simulated camera, timed call by call on the steady clock.
//
// The listener holds the NUDP socket and turns its event loop in passes of 20 ms; a sender asks
// for the socket and wakes the pass in progress, so a round trip costs a hand-over and one
// exchange on loopback. As the reference, the same run measures the hand-over without the
// wake-up: a small holder thread that lets go of the socket only at the top of its next pass,
// which costs half a pass on average. Its calls come at random moments (a random pause before
// each), so that they fall anywhere within the holder's pass, as commands of a user do.
//
// Counters (times in seconds):
//   rt/s                round trips per second, calls back to back
//   median_s, p99_s     their latency
//   spaced_median_s     the camera's latency with the same random pauses as the reference
//   ref_median_s        the reference's latency, ref_p99_s its 99th percentile
//   ref/cam             ref_median_s / median_s
//   ref/cam_spaced      ref_median_s / spaced_median_s
//   target_met          1 when median_s is below 0.2 ms
//   failed              calls that returned false or a wrong identification, both kinds
// The Time column is the camera's median round trip.
//
// Run: build/release/bench/camera_round_trip_bench

#include "camera/CEthCamera.h"
#include "net/Address.h"
#include "net/SocketHandler.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"
#include "tools/camsim/CameraSimulator.h"

#include "bench/Statistics.h"
#include "tests/support/Loopback.h"
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fp {
namespace {

using Clock = std::chrono::steady_clock;
using bench::Quantile;
using test::Ip;

constexpr std::uint16_t kHostPort = 32100;
constexpr std::uint16_t kCameraPort = 1234;
constexpr const char* kIdText = "RoundTrip Bench";

// Calls per kind: the camera's back to back, and the spaced ones of each side.
constexpr int kRounds = 20;
constexpr int kBackToBackPerRound = 100;
constexpr int kSpacedPerRound = 5;
// The holder's pass, as the listener's idle pass.
constexpr long kPassMicroseconds = 20000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// True when an 0xEF answer of `length` bytes carries `expected` as its text.
bool IdMatches(const std::uint8_t* id, std::uint32_t length, const char* expected) {
  return NudpIdText(id, length) == expected;
}

std::unique_ptr<CameraSimulator> StartSimulator(const char* address, std::string& error) {
  SimulatorOptions options;
  options.bind_address = address;
  options.port = kCameraPort;
  options.id_text = kIdText;
  auto sim = std::make_unique<CameraSimulator>(options);
  if (!sim->Start(error)) return nullptr;
  return sim;
}

// The reference: a NUDP socket held by a thread that turns its handler in passes of 20 ms and
// lets go of it only at the top of a pass, when a sender has raised the flag. Senders do not
// wake the pass in progress.
class PollingHolder {
 public:
  PollingHolder(std::uint32_t local, std::uint32_t camera) : _nudp(_handler) {
    _bound = _nudp.Bind(local, kHostPort) == 0;
    _handler.Add(&_nudp);
    _bound = _bound && _nudp.Open(camera, kCameraPort);
  }
  ~PollingHolder() { Stop(); }
  PollingHolder(const PollingHolder&) = delete;
  PollingHolder& operator=(const PollingHolder&) = delete;

  bool Ready() const { return _bound; }

  void Start() {
    _stop.store(false);
    _thread = std::thread([this] { Body(); });
  }

  void Stop() {
    _stop.store(true);
    if (_thread.joinable()) _thread.join();
  }

  // One 0xEF exchange from the calling thread; true when the answer came with `expected`.
  bool Identify(const char* expected) {
    _waiting.fetch_add(1);
    std::unique_lock<std::mutex> lock(_mutex);
    if (_waiting.fetch_sub(1) == 1) _waiting.notify_all();
    if (!_nudp.SendCmd(NUDP_TOP_COMMAND, NUDP_CMD_IDENTIFY)) return false;
    for (int pass = 0; pass < 10 && _nudp.IsWaiting(); ++pass) {
      _handler.Select(0, 100000);
    }
    if (_nudp.IsWaiting()) {
      _nudp.StopWaiting();
      return false;
    }
    std::uint8_t id[32] = {};
    std::uint32_t length = 0;
    return _nudp.GetResponse(nullptr, id, &length, sizeof id) && IdMatches(id, length, expected);
  }

 private:
  void Body() {
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_stop.load()) {
      if (_waiting.load() > 0) {
        lock.unlock();
        for (int waiting = _waiting.load(); waiting > 0; waiting = _waiting.load()) {
          _waiting.wait(waiting);
        }
        lock.lock();
      }
      _handler.Select(0, kPassMicroseconds);
    }
  }

  SocketHandler _handler;
  NudpSocket _nudp;
  bool _bound = false;
  std::thread _thread;
  std::atomic<bool> _stop{false};
  // Senders waiting for the socket.
  std::atomic<int> _waiting{0};
  // Held by the holder thread, but between a sender raising _waiting and that sender being done.
  std::mutex _mutex;
};

void BM_CameraRoundTrip(benchmark::State& state) {
  std::string error;
  auto sim = StartSimulator("127.5.0.1", error);
  auto ref_sim = StartSimulator("127.5.1.1", error);
  if (sim == nullptr || ref_sim == nullptr) {
    state.SkipWithError(("simulator not started: " + error).c_str());
    return;
  }

  std::unique_ptr<CEthCamera> camera;
  try {
    camera = std::make_unique<CEthCamera>("127.5.0.2");
  } catch (const char* text) {
    state.SkipWithError(text);
    return;
  }
  if (!camera->Open("127.5.0.1")) {
    state.SkipWithError("camera not opened");
    return;
  }
  PollingHolder holder(Ip("127.5.1.2"), Ip("127.5.1.1"));
  if (!holder.Ready()) {
    state.SkipWithError("reference socket not bound");
    return;
  }
  holder.Start();

  std::mt19937 random(/*seed=*/12345);
  std::uniform_int_distribution<int> pause_us(0, static_cast<int>(kPassMicroseconds));
  int failed = 0;
  const auto camera_call = [&] {
    std::uint8_t id[32] = {};
    std::uint32_t length = 0;
    const auto start = Clock::now();
    const bool ok =
        camera->SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND, nullptr, id, &length, sizeof id) &&
        IdMatches(id, length, kIdText);
    const double seconds = Seconds(Clock::now() - start);
    if (!ok) ++failed;
    return seconds;
  };

  std::vector<double> back_to_back, spaced, reference;
  double back_to_back_total = 0.0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const auto block_start = Clock::now();
      for (int i = 0; i < kBackToBackPerRound; ++i) back_to_back.push_back(camera_call());
      back_to_back_total += Seconds(Clock::now() - block_start);

      for (int i = 0; i < kSpacedPerRound; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        spaced.push_back(camera_call());
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        const auto start = Clock::now();
        if (!holder.Identify(kIdText)) ++failed;
        reference.push_back(Seconds(Clock::now() - start));
      }
    }
    state.SetIterationTime(Quantile(back_to_back, 0.5));
  }
  holder.Stop();

  const double median = Quantile(back_to_back, 0.5);
  const double ref_median = Quantile(reference, 0.5);
  state.counters["rt/s"] =
      static_cast<double>(back_to_back.size()) / std::max(back_to_back_total, 1e-9);
  state.counters["median_s"] = median;
  state.counters["p99_s"] = Quantile(back_to_back, 0.99);
  state.counters["spaced_median_s"] = Quantile(spaced, 0.5);
  state.counters["ref_median_s"] = ref_median;
  state.counters["ref_p99_s"] = Quantile(reference, 0.99);
  state.counters["ref/cam"] = median > 0.0 ? ref_median / median : 0.0;
  const double spaced_median = Quantile(spaced, 0.5);
  state.counters["ref/cam_spaced"] = spaced_median > 0.0 ? ref_median / spaced_median : 0.0;
  state.counters["target_met"] = median < 0.2e-3 ? 1.0 : 0.0;
  state.counters["failed"] = failed;
  state.SetLabel(std::to_string(back_to_back.size()) + " calls back to back, " +
                 std::to_string(spaced.size()) + " spaced, " + std::to_string(reference.size()) +
                 " reference");

  camera->Close();
}

BENCHMARK(BM_CameraRoundTrip)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace fp

BENCHMARK_MAIN();
