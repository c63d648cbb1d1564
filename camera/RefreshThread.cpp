#include "camera/RefreshThread.h"

#include "camera/AnswerWait.h"
#include "camera/CEthCamera.h"
#include "net/SocketHandler.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "base/LogStream.h"

#include <chrono>
#include <new>
#include <system_error>

namespace fp {

namespace {

constexpr std::chrono::milliseconds kTick{1000};

}  // namespace

RefreshThread::RefreshThread(CEthCamera& camera, std::int32_t period)
    : _command(NUDP_CMD_REFRESH), _camera(camera), _period(period) {
  try {
    _handler = std::make_unique<SocketHandler>();
  } catch (const std::bad_alloc&) {
    throw "RefreshThread: handler not created.";
  }
  try {
    _nudp = std::make_unique<NudpSocket>(*_handler);
  } catch (const std::bad_alloc&) {
    throw "RefreshThread: socket not created.";
  }
  if (_nudp->GetDescriptor() == -1) throw "RefreshThread: socket not created.";
  if (camera._log->IsOpen()) _nudp->SetLog(camera._log.get());
  if (camera._err_log->IsOpen()) _nudp->SetErrLog(camera._err_log.get());
  if (_nudp->Bind(camera._local_ip, static_cast<std::uint16_t>(camera._local_port + 1)) != 0) {
    throw "RefreshThread: cannot bind to local ip:port.";
  }
  _handler->Add(_nudp.get());
  if (!_nudp->Open(camera._remote_ip, camera._remote_port)) {
    throw "RefreshThread: cannot open connection to remote host:port.";
  }
  _camera.WriteLog("RefreshThread created.\n\n");
}

RefreshThread::~RefreshThread() {
  Stop();
  // A thread that ended by itself needs no waiting; it is joined all the same.
  if (_thread.joinable()) _thread.join();
  _nudp.reset();
  _handler.reset();
  _camera.WriteLog("RefreshThread deleted.\n\n");
}

bool RefreshThread::Start() {
  if (_running.load()) return true;
  _running.store(true);
  _stop.store(false);
  _camera.WriteLog("RefreshThread::Start():\n");
  try {
    _thread = std::thread(&RefreshThread::Body, this);
  } catch (const std::system_error&) {
    _camera.WriteErrLog("_beginthreadex() error.\n\n");
    return false;
  }
  _camera.WriteLog("Started.\n\n");
  return true;
}

void RefreshThread::Stop() {
  if (!_running.load()) return;
  _camera.WriteLog("RefreshThread::Stop():\n");
  {
    std::lock_guard<std::mutex> lock(_tick_mutex);
    _stop.store(true);
  }
  _tick.notify_all();
  if (_thread.joinable()) _thread.join();
  _camera.WriteLog("Stopped.\n\n");
}

bool RefreshThread::SleepOneTick() {
  std::unique_lock<std::mutex> lock(_tick_mutex);
  _tick.wait_for(lock, kTick, [this] { return _stop.load(); });
  return !_stop.load();
}

void RefreshThread::Body() {
  std::int32_t ticks = 0;
  bool go_on = !_stop.load();
  while (go_on) {
    const std::int32_t taken = ticks++;
    if (taken >= _period && !_camera._data_taking.load()) {
      if (!Refresh()) break;
      ticks = 0;
    }
    go_on = SleepOneTick();
  }
  _nudp->Suspend();
  _running.store(false);
}

bool RefreshThread::Refresh() {
  _camera.WriteLog("RefreshThread:\nCamera watchdog refresh.\n\n");
  for (std::int32_t remaining = _camera._retries; remaining >= 0;) {
    --remaining;
    // The socket is turned only here, every few seconds: a repeated answer to the last refresh
    // still waits in the kernel and would pass for the answer to this one; the attempt hands it
    // over first.
    switch (AttemptCommand(*_handler, *_nudp, NUDP_TOP_COMMAND, _command, _camera._response_wait)) {
      case AttemptOutcome::kTimeout:
        _camera.WriteErrLog("RefreshThread:\nTimeout.\n\n");
        break;
      case AttemptOutcome::kDamaged:
        _camera.WriteErrLog("RefreshThread:\nError in camera response.\n\n");
        break;
      case AttemptOutcome::kAnswered:
        _camera.WriteLog("RefreshThread:\nOK.\n\n");
        return true;
      case AttemptOutcome::kNotSent:  // a socket that refuses to send is in no state to refresh
      case AttemptOutcome::kUnexpected:
        _camera.WriteErrLog("RefreshThread:\nUnexpected behaviour!\n\n");
        break;
    }
  }
  _camera.WriteErrLog("RefreshThread:\nLost contact, closing connection.\n");
  return false;
}

}  // namespace fp
