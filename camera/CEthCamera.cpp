// CEthCamera: construction, Open, Close and destruction.

#include "camera/CEthCamera.h"

#include "base/LogStream.h"
#include "camera/DriverSocket.h"
#include "camera/RefreshThread.h"
#include "net/Address.h"
#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <chrono>
#include <system_error>

namespace fp {

namespace {

using std::chrono::milliseconds;

// Open waits this long for the listener to announce its start.
constexpr milliseconds kListenerStartLimit{15000};

}  // namespace

CEthCamera::CEthCamera(const std::string& local) {
  MakeHandlerAndSocket(_handler, _nudp, "CEthCamera: handler not created.",
                       "CEthCamera: socket not created.");
  if (!HostToAddress(local, _local_ip)) throw "CEthCamera: local interface syntax error.";
  // The socket takes the port above when 32100 is taken; _local_port keeps saying 32100.
  if (_nudp->Bind(_local_ip, _local_port) != 0) throw "CEthCamera: cannot bind to local ip:port";
  _handler->Add(_nudp.get());
  _log = std::make_unique<LogStream>();
  _err_log = std::make_unique<LogStream>();
}

CEthCamera::~CEthCamera() {
  WriteLog("CEthCamera destructor:\n");
  if (_connected.load() && !Close()) {
    WriteErrLog("CEthCamera still in use. Deleting anyway.\n\n");
  }
  // The listener uses the mutexes, the handler and the socket: it ends before they go.
  ReapListener();
  _nudp.reset();
  _handler.reset();
  if (_log->IsOpen()) {
    WriteLog("CEthCamera deleted.\n\n");
    _log->Write("STOP LOGGING.\n\n");
    _log->Close();
  }
  _log.reset();
  if (_err_log->IsOpen()) {
    _err_log->Write("STOP LOGGING.\n\n");
    _err_log->Close();
  }
  _err_log.reset();
}

// The socket was bound with _local_ip and _local_port and keeps their text; it says 32100 also
// when the port above was taken.
std::string CEthCamera::GetLocalAddress() const { return Nudp().LocalAddress(); }

std::string CEthCamera::GetRemoteAddress() const {
  if (!_connected.load()) return "(connection closed)";
  std::string text;
  AddressToText(_remote_ip, text);
  return text + ":" + NumberToText(_remote_port);
}

DriverCounts CEthCamera::CountsNow() const {
  DriverCounts now;
  now.socket = Nudp().Counts();
  ForEachCount(now.camera, _counts, [](const char*, std::uint64_t& to, const auto& from) {
    to = from.load(std::memory_order_relaxed);
  });
  return now;
}

DriverCounters CEthCamera::Counters() const {
  const DriverCounts now = CountsNow();
  DriverCounters counters;
  {
    MutexLock lock(_count_marks_mutex);
    counters.last_transfer = now.Since(_counts_at_transfer);
    counters.since_open = now.Since(_counts_at_open);
  }
  counters.receive_buffer_bytes = Nudp().ReceiveBufferBytes();
  return counters;
}

bool CEthCamera::WatchdogRunning() const { return _refresh != nullptr && _refresh->Running(); }

bool CEthCamera::Open(const std::string& remote) {
  WriteLog("CEthCamera::Open():\n");
  if (_connected.load()) {
    WriteErrLog("Connection must be closed before reopening.\n\n");
    return false;
  }
  // A listener that gave the connection up by itself is joined, its watchdog deleted.
  ReapListener();
  {
    const DriverCounts now = CountsNow();
    MutexLock lock(_count_marks_mutex);
    _counts_at_open = now;
    _counts_at_transfer = now;
  }
  if (!HostToAddress(remote, _remote_ip)) {
    WriteErrLog("Remote host syntax error.\n\n");
    return false;
  }
  _remote_port = NUDP_CAMERA_PORT;

  try {
    WatchdogSettings watchdog;
    watchdog.local_ip = _local_ip;
    watchdog.local_port = static_cast<std::uint16_t>(_local_port + 1);
    watchdog.remote_ip = _remote_ip;
    watchdog.remote_port = _remote_port;
    watchdog.tick = _watchdog_tick;
    _refresh = std::make_unique<RefreshThread>(watchdog, DriverLog(*_log, *_err_log),
                                               [this] { return _data_taking.load(); });
  } catch (const char* text) {
    WriteErrLog(text);
    WriteErrLog("\nConnection not estabilished.\n\n");
    return false;
  }
  if (!_refresh->Start()) {
    WriteErrLog("Refresh thread not started.\n\n");
    DeleteRefresh();
    return false;
  }
  if (!IdleNudp().Open(_remote_ip, _remote_port)) {
    WriteErrLog("Cannot open connection to remote host.\n\n");
    DeleteRefresh();
    return false;
  }

  _stop_listener.store(false);
  {
    MutexLock lock(_start_mutex);
    _listener_settled = false;
  }
  try {
    _listener_thread = std::thread(&CEthCamera::BkgListener, this);
  } catch (const std::system_error&) {
    WriteErrLog("Cannot start listener thread.\n\n");
    DeleteRefresh();
    return false;
  }
  {
    MutexLock lock(_start_mutex);
    _start_signal.wait_for(lock.Native(), kListenerStartLimit,
                           [this]() REQUIRES(_start_mutex) { return _listener_settled; });
  }
  if (!_connected.load()) {
    WriteErrLog("Cannot start listener thread.\n\n");
    // A listener that comes alive this late is told to stop at once.
    ReapListener();
    return false;
  }

  LogFormatted(false, "Connection to %s is opened.\n\n", GetRemoteAddress().c_str());
  return true;
}

bool CEthCamera::Close() {
  if (!_connected.load()) {
    ReapListener();
    // Nobody turns the handler any more: the image is the caller's again.
    IdleNudp().HandOver();
    return true;
  }
  WaitForRawData();
  if (!AcquireNudp()) {
    WriteErrLog("CEthCamera::Close():\nCommunication port still in use.\n\n");
    return false;
  }
  // The listener may have given the connection up while the transfer ended; the socket is its
  // to close then.
  _nudp->HandOver();
  if (!_connected.load()) {
    _nudp_mutex.Release();
    ReapListener();
    return true;
  }
  const bool suspended = _nudp->Suspend();
  _nudp_mutex.Release();
  if (!suspended) {
    WriteErrLog("CEthCamera::Close():\nCommunication port still in use.\n\n");
    return false;
  }
  _stop_listener.store(true);
  WakeListener();
  _listener_thread.join();
  if (_connected.load()) {
    WriteErrLog("CEthCamera::Close():\nBkgListener did not change camera state.\n\n");
  }
  DeleteRefresh();
  WriteLog("CEthCamera::Close():\nConnection closed.\n\n");
  return true;
}

void CEthCamera::ReapListener() {
  if (_listener_thread.joinable()) {
    _stop_listener.store(true);
    WakeListener();
    _listener_thread.join();
  }
  _give_up.store(false);
  DeleteRefresh();
}

void CEthCamera::DeleteRefresh() { _refresh.reset(); }

NudpSocket& CEthCamera::IdleNudp() { return *_nudp; }

}  // namespace fp
