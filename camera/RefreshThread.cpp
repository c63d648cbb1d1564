#include "camera/RefreshThread.h"

#include "base/LogStream.h"
#include "camera/CommandAttempt.h"
#include "camera/DriverSocket.h"
#include "net/SocketHandler.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace fp {

RefreshThread::RefreshThread(const WatchdogSettings& settings, DriverLog logs,
                             std::function<bool()> data_taking)
    : _command(NUDP_CMD_REFRESH),
      _settings(settings),
      _logs(logs),
      _data_taking(std::move(data_taking)) {
  MakeHandlerAndSocket(_handler, _nudp, "RefreshThread: handler not created.",
                       "RefreshThread: socket not created.");
  if (_logs.Log().IsOpen()) _nudp->SetLog(&_logs.Log());
  if (_logs.ErrLog().IsOpen()) _nudp->SetErrLog(&_logs.ErrLog());
  if (_nudp->Bind(_settings.local_ip, _settings.local_port) != 0) {
    throw "RefreshThread: cannot bind to local ip:port.";
  }
  _handler->Add(_nudp.get());
  if (!_nudp->Open(_settings.remote_ip, _settings.remote_port)) {
    throw "RefreshThread: cannot open connection to remote host:port.";
  }
  _logs.Write("RefreshThread created.\n\n");
}

RefreshThread::~RefreshThread() {
  Stop();
  // A thread that ended by itself needs no waiting; it is joined all the same.
  if (_thread.joinable()) _thread.join();
  _nudp.reset();
  _handler.reset();
  _logs.Write("RefreshThread deleted.\n\n");
}

bool RefreshThread::Start() {
  if (_running.load()) return true;
  _running.store(true);
  _stop.store(false);
  _logs.Write("RefreshThread::Start():\n");
  try {
    _thread = std::thread(&RefreshThread::Body, this);
  } catch (const std::system_error&) {
    _logs.WriteErr("_beginthreadex() error.\n\n");
    return false;
  }
  _logs.Write("Started.\n\n");
  return true;
}

void RefreshThread::Stop() {
  if (!_running.load()) return;
  _logs.Write("RefreshThread::Stop():\n");
  {
    MutexLock lock(_tick_mutex);
    _stop.store(true);
  }
  _tick.notify_all();
  if (_thread.joinable()) _thread.join();
  _logs.Write("Stopped.\n\n");
}

bool RefreshThread::SleepOneTick() {
  MutexLock lock(_tick_mutex);
  _tick.wait_for(lock.Native(), _settings.tick, [this] { return _stop.load(); });
  return !_stop.load();
}

void RefreshThread::Body() {
  std::int32_t ticks = 0;
  bool go_on = !_stop.load();
  while (go_on) {
    const std::int32_t taken = ticks++;
    if (taken >= _settings.period && !_data_taking()) {
      if (!Refresh()) break;
      ticks = 0;
    }
    go_on = SleepOneTick();
  }
  _nudp->Suspend();
  _running.store(false);
}

bool RefreshThread::Refresh() {
  _logs.Write("RefreshThread:\nCamera watchdog refresh.\n\n");
  for (std::int32_t remaining = _settings.retries; remaining >= 0;) {
    --remaining;
    // The socket is turned only here, every few seconds: a repeated answer to the last refresh
    // still waits in the kernel and would pass for the answer to this one; the attempt hands it
    // over first.
    switch (AttemptCommand(*_handler, *_nudp, NUDP_TOP_COMMAND, _command, _settings.answer_wait)) {
      case AttemptOutcome::kTimeout:
        _logs.WriteErr("RefreshThread:\nTimeout.\n\n");
        break;
      case AttemptOutcome::kDamaged:
        _logs.WriteErr("RefreshThread:\nError in camera response.\n\n");
        break;
      case AttemptOutcome::kAnswered:
        _logs.Write("RefreshThread:\nOK.\n\n");
        return true;
      case AttemptOutcome::kNotSent:  // a socket that refuses to send is in no state to refresh
      case AttemptOutcome::kUnexpected:
        _logs.WriteErr("RefreshThread:\nUnexpected behaviour!\n\n");
        break;
    }
  }
  _logs.WriteErr("RefreshThread:\nLost contact, closing connection.\n");
  return false;
}

}  // namespace fp
