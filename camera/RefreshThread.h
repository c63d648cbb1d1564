#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "camera/DriverLog.h"
#include "camera/DriverTimings.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace fp {

class NudpSocket;
class SocketHandler;

// What the watchdog needs to know of its camera.
struct WatchdogSettings {
  std::uint32_t local_ip = 0;    // network byte order
  std::uint16_t local_port = 0;  // the watchdog's own port
  std::uint32_t remote_ip = 0;   // network byte order
  std::uint16_t remote_port = 0;
  std::int32_t period = kRefreshPeriod;  // ticks before the first refresh
  std::int32_t retries = kRetries;       // repetitions after the first attempt of a refresh
  std::chrono::microseconds answer_wait = kResponseWait;  // for one answer
  std::chrono::milliseconds tick{1000};
};

// The camera's watchdog: a thread that sends the refresh command 0xFC on a NUDP socket of its
// own (bound to the settings' local address, connected to the camera) every few seconds and
// checks that the camera answers. When all 1 + `retries` attempts of a refresh stay unanswered,
// it closes its socket and ends; the camera then refuses every command until it is closed and
// opened again.
//
// The first refresh comes after `period` ticks, later ones `period` + 1 ticks apart. No refresh
// is made while `data_taking` says the camera takes data; it is asked from the watchdog's
// thread at every tick.
//
// Constructor, Start and destructor belong to the thread that opens and closes the camera.
// Running() is safe from any thread.
class RefreshThread {
 public:
  // Binds and connects the watchdog's socket. `logs` are attached to the socket when they are
  // open at this moment. Throws one of
  //   "RefreshThread: handler not created.", "RefreshThread: socket not created.",
  //   "RefreshThread: cannot bind to local ip:port.",
  //   "RefreshThread: cannot open connection to remote host:port.".
  RefreshThread(const WatchdogSettings& settings, DriverLog logs,
                std::function<bool()> data_taking);
  // Stops the thread if it runs, then deletes the socket and the handler.
  ~RefreshThread();
  RefreshThread(const RefreshThread&) = delete;
  RefreshThread& operator=(const RefreshThread&) = delete;

  // Starts the thread; true when it runs (or ran already).
  bool Start();
  // Ends the thread if it runs and waits for it: at most the current tick and one refresh.
  void Stop() EXCLUDES(_tick_mutex);
  // False once the thread has ended after a lost contact (or was stopped).
  bool Running() const { return _running.load(); }

 private:
  void Body();
  // One refresh with its attempts; false when contact is lost.
  bool Refresh();
  // Sleeps one tick; false when Stop asked the thread to end meanwhile.
  bool SleepOneTick() EXCLUDES(_tick_mutex);

  const std::uint32_t _command;
  const WatchdogSettings _settings;
  const DriverLog _logs;
  const std::function<bool()> _data_taking;
  std::unique_ptr<SocketHandler> _handler;
  std::unique_ptr<NudpSocket> _nudp;  // used only by the watchdog's thread once it runs
  std::thread _thread;
  std::atomic<bool> _running{false};
  std::atomic<bool> _stop{false};

  // Lets Stop cut a tick short instead of waiting for it to pass: _stop is set under it, so that
  // a tick that has just looked at _stop cannot miss the wake-up.
  Mutex _tick_mutex;
  std::condition_variable _tick;
};

}  // namespace fp
