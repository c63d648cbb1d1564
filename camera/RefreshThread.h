#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace fp {

class CEthCamera;
class NudpSocket;
class SocketHandler;

// The camera's watchdog: a thread that sends the refresh command 0xFC on a NUDP socket of its
// own (the camera's local port plus one, connected to the camera) every few seconds and checks
// that the camera answers. When three attempts stay unanswered it closes its socket and ends;
// the camera then refuses every command until it is closed and opened again.
//
// The first refresh comes after `period` one-second ticks, later ones `period` + 1 ticks apart.
// No refresh is made while the camera takes data.
//
// Constructor, Start and destructor belong to the thread that opens and closes the camera.
// Running() is safe from any thread.
class RefreshThread {
 public:
  // Binds and connects the watchdog's socket; the camera's remote address must be set. Throws
  // one of "RefreshThread: handler not created.", "RefreshThread: socket not created.",
  // "RefreshThread: cannot bind to local ip:port." and
  // "RefreshThread: cannot open connection to remote host:port.".
  RefreshThread(CEthCamera& camera, std::int32_t period);
  // Stops the thread if it runs, then deletes the socket and the handler.
  ~RefreshThread();
  RefreshThread(const RefreshThread&) = delete;
  RefreshThread& operator=(const RefreshThread&) = delete;

  // Starts the thread; true when it runs (or ran already).
  bool Start();
  // Ends the thread if it runs and waits for it: at most the current tick and one refresh.
  void Stop();
  // False once the thread has ended after a lost contact (or was stopped).
  bool Running() const { return _running.load(); }

 private:
  void Body();
  // One refresh with its attempts; false when contact is lost.
  bool Refresh();
  // Sleeps one tick; false when Stop asked the thread to end meanwhile.
  bool SleepOneTick();

  const std::uint32_t _command;
  CEthCamera& _camera;  // not owned; outlives the watchdog
  std::unique_ptr<SocketHandler> _handler;
  std::unique_ptr<NudpSocket> _nudp;  // used only by the watchdog's thread once it runs
  std::thread _thread;
  std::atomic<bool> _running{false};
  std::atomic<bool> _stop{false};
  const std::int32_t _period;

  // Lets Stop cut a tick short instead of waiting for it to pass.
  std::mutex _tick_mutex;
  std::condition_variable _tick;
};

}  // namespace fp
