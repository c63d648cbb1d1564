// CEthCamera's background listener and RAW image acquisition: SetRawDataBuffer, BkgListener,
// TransferDone and WaitForRawData.
//
// Who holds which mutex when:
//
//   mutex                 listener holds it                      others take it
//   _nudp_mutex           always, but between a sender raising    SendCmd, Close and
//                         _cmd_waiting and that sender being      SetRawDataBuffer, through
//                         done, and around TransferDone's 0x0A    AcquireNudp
//   _data_started_mutex   while no transfer runs                  WaitForRawData, to see a
//                                                                 transfer start
//   _done_mutex           from a transfer's start to its end      WaitForRawData, to see its end
//   _wait_mutex           during each data-taking pass            WaitForRawData, to read
//                                                                 _data_taking between passes
//
// The listener takes them in this order: _data_started_mutex, _nudp_mutex (at start); then
// _wait_mutex and _done_mutex during a pass; at a transfer's end it takes _data_started_mutex
// again while it holds _nudp_mutex and _wait_mutex. WaitForRawData never holds two at once and
// lets go of each at once, so nothing can deadlock. Whenever the listener stops it lets go of
// every mutex it holds.

#include "camera/CEthCamera.h"
#include "camera/CommandAttempt.h"
#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <algorithm>

namespace fp {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kStartLockLimit{5000};
constexpr milliseconds kStartPollLimit{20};
// One pass of the event loop: longer while idle, short while data is taken, so that the
// silence is measured finely.
constexpr std::chrono::microseconds kIdlePass{20000};
constexpr std::chrono::microseconds kDataPass{3000};
// While the stream pours in, a data pass first lets the datagrams gather for about half the
// time a receive batch takes at line rate (64 datagrams of 8.8 us at 1 Gbit/s), and takes them
// in one go, instead of waking for every few. A pass that found a whole batch waiting is behind
// the stream, and the next one takes what waits at once; so does a pass near the image's end. A
// command or a stop request ends the gathering at once (the handler's Wake).
constexpr std::chrono::microseconds kDataGather{300};
constexpr auto kReceiveBatch = static_cast<std::int32_t>(UdpSocket::kReceiveBatch);
// Timeouts in a row after which a transfer the camera calls unfinished is given up.
constexpr std::int32_t kMaxTries = 2;

}  // namespace

// What the listener keeps from one pass to the next.
// Silence is the time since the last new RAW packet was stored (or since the transfer began, or
// since the last timeout), measured on the clock: duplicates, damaged or refused packets and
// answers neither shorten nor prolong it, so a camera that keeps repeating one packet cannot
// hold a transfer open.
struct CEthCamera::ListenerState {
  // RAW packets the last data pass stored.
  std::int32_t last_stored = 0;
  std::chrono::steady_clock::time_point quiet_since;
  std::uint64_t seen_stored = 0;  // RAW packets the socket had ever stored when last looked
  std::int32_t tries = 0;         // timeouts in a row with the transfer not finished
  bool started = false;           // this transfer's start has been signalled
};

bool CEthCamera::SetRawDataBuffer(std::uint8_t* buffer) {
  if (_data_taking.load()) {
    WriteErrLog(
        "CEthCamera::SetRawDataBuffer():\nCannot change RAW data buffer while data taking.\n\n");
    return false;
  }
  if (!AcquireNudp()) {
    WriteErrLog("CEthCamera::SetRawDataBuffer():\nCannot lock access to NUDP socket.\n\n");
    return false;
  }
  const bool prepared = _nudp->PrepareForData(buffer);
  _nudp_mutex.Release();
  if (prepared) std::fill(_fetched.begin(), _fetched.end(), std::uint8_t{0});
  return prepared;
}

// The listener's holds begin with timed waits and end with ReleaseAll, whichever it took: a
// failure on the way may leave any of them held.
void CEthCamera::BkgListener() {
  _listener_id.store(std::this_thread::get_id());
  if (_data_started_mutex.Wait(kStartLockLimit) != CameraMutex::WaitResult::kAcquired) {
    WriteErrLog(
        "CEthCamera::BkgListener():\nCannot lock _data_started_mutex.\nListener not started.\n\n");
    SignalListenerStart();
    return;
  }
  if (_nudp_mutex.Wait(kStartLockLimit) != CameraMutex::WaitResult::kAcquired) {
    WriteErrLog(
        "CEthCamera::BkgListener():\nCannot lock access to NUDP socket.\nListener not "
        "started.\n\n");
    _data_started_mutex.Release();
    SignalListenerStart();
    return;
  }
  _connected.store(true);
  WriteLog("CEthCamera::BkgListener():\nStarted.\n\n");
  SignalListenerStart();

  ListenerState state;
  const char* failure = nullptr;
  while (failure == nullptr && !_stop_listener.load() && !_give_up.load()) {
    failure = ListenerPass(state);
  }

  if (failure != nullptr) WriteErrLog(failure);
  _connected.store(false);
  // A listener that stops on a failure in the middle of a transfer leaves no data taking
  // behind, so that the camera can take images again once it is opened again.
  if (_data_taking.exchange(false)) {
    _nudp->StopData();
    _stream_may_run.store(true);
  }
  // A failure inside a data-taking pass leaves the pass's mutexes held; no thread ends holding
  // one.
  _wait_mutex.ReleaseAll();
  _done_mutex.ReleaseAll();
  if (!_nudp_mutex.ReleaseAll()) {
    WriteErrLog("CEthCamera::BkgListener():\nCannot unlock access to NUDP socket.\n\n");
  }
  if (!_data_started_mutex.ReleaseAll()) {
    WriteErrLog("CEthCamera::BkgListener():\nCannot unlock _data_started_mutex.\n\n");
  }
  WriteLog("CEthCamera::BkgListener():\nStopped.\n\n");
  _listener_id.store(std::thread::id{});
}

void CEthCamera::SignalListenerStart() {
  {
    MutexLock lock(_start_mutex);
    _listener_settled = true;
  }
  _start_signal.notify_all();
}

// The mutex is lent to another thread and comes back; a failure on the way may leave it with
// neither, which BkgListener settles by letting go of everything. The analysis cannot follow
// a lock that changes hands.
const char* CEthCamera::LetSendersIn() {
  if (_cmd_waiting.load() > 0) {
    if (!_nudp_mutex.Release()) return "CEthCamera::BkgListener():\nCannot unlock _nudp_mutex.\n\n";
    // Mutexes are not fair: taking it back at once would usually win it again before the
    // sender wakes. Wait until every sender has it or has given up.
    for (int waiting = _cmd_waiting.load(); waiting > 0; waiting = _cmd_waiting.load()) {
      _cmd_waiting.wait(waiting);
    }
    if (!_nudp_mutex.Wait()) {
      return "CEthCamera::BkgListener():\nCannot lock access to NUDP socket.\n\n";
    }
  }
  return nullptr;
}

const char* CEthCamera::ListenerPass(ListenerState& state) {
  if (const char* failure = LetSendersIn(); failure != nullptr) return failure;

  if (!_data_taking.load()) {
    _handler->Select(0, kIdlePass.count());
    TakeRestartedStream();
    return nullptr;
  }

  const auto pass_start = std::chrono::steady_clock::now();
  const std::int32_t count_before = _nudp->RawCount();
  const std::uint64_t stored_before = _nudp->StoredPackets();
  const bool gather =
      state.last_stored < kReceiveBatch && RAW_PACKETS_PER_IMAGE - count_before > kReceiveBatch;
  _handler->Select(0, kDataPass.count(), gather ? kDataGather : std::chrono::microseconds::zero());
  if (!_wait_mutex.Wait()) WriteErrLog("CEthCamera::BkgListener():\nCannot lock _wait_mutex.\n\n");

  if (!state.started) {
    state.started = true;
    // A stop asked for before this transfer was asked for another; WaitForRawData asks again.
    _stop_transfer.store(StopReason::kNone);
    state.quiet_since = pass_start;
    state.seen_stored = stored_before;
    SignalTransferStart();
  }

  // Packets stored by a command sender between two passes count as much as the listener's own.
  // Counted over the socket's life, so that neither a restart of the image nor a packet put in
  // conflict (each lowers RawCount) hides a packet stored in the same pass.
  const std::uint64_t stored = _nudp->StoredPackets();
  state.last_stored = static_cast<std::int32_t>(stored - stored_before);
  const bool fresh = stored > state.seen_stored;
  state.seen_stored = stored;
  const auto now = std::chrono::steady_clock::now();
  const auto silence = std::chrono::duration_cast<milliseconds>(now - state.quiet_since);

  const char* failure = nullptr;
  if (_nudp->TakePacketArrived() && _nudp->LastTop() != NUDP_TOP_RAW_DATA) {
    WriteErrLog(
        "CEthCamera::BkgListener():\nType of packet != 0x07 while waiting for RAW data (not a "
        "problem for a driver, but should not happen).\n\n");
  }
  if (const StopReason reason = _stop_transfer.exchange(StopReason::kNone);
      reason != StopReason::kNone) {
    if (reason == StopReason::kCaller) {
      WriteErrLog("CEthCamera::BkgListener():\nTransfer stopped by the caller.\n\n");
    } else {
      WriteErrLog(
          "CEthCamera::BkgListener():\nTransfer stopped: the image it restarted is handed "
          "back.\n\n");
    }
    _nudp->StopData();
    _stream_may_run.store(true);
    state.tries = 0;
    failure = EndTransfer(state);
  } else if (fresh) {
    LogFormatted(false, "CEthCamera::BkgListener():\nRAW data packet received (dt=%dms).\n\n",
                 static_cast<int>(silence.count()));
    state.quiet_since = now;
    state.tries = 0;
    // The socket stops RAW receiving at the last packet, unless that came alone too early.
    if (_nudp->LastPacket() == RAW_LAST_PACKET_INDEX && !_nudp->IsTakingData()) {
      failure = EndTransfer(state);
      if (failure == nullptr) {
        WriteLog("CEthCamera::BkgListener():\nLast RAW data packet received.\n\n");
      }
    }
  } else if (silence >= kRawTimeout) {
    WriteErrLog("CEthCamera::BkgListener():\nRAW data timeout.\n\n");
    // Asked at every timeout, also when the tries decide already.
    const bool done = TransferDone();
    if (done || state.tries >= kMaxTries) {
      _nudp->StopData();
      // A camera that did not call its transfer finished may still be sending.
      if (!done) _stream_may_run.store(true);
      state.tries = 0;
      failure = EndTransfer(state);
    } else {
      WriteErrLog("CEthCamera::BkgListener():\nStill waiting for data...\n\n");
      ++state.tries;
    }
    state.quiet_since = std::chrono::steady_clock::now();
  }

  if (!_wait_mutex.Release()) {
    WriteErrLog("CEthCamera::BkgListener():\nCannot unlock _wait_mutex.\n\n");
  }
  return failure;
}

// The holds of _done_mutex and _data_started_mutex last from one pass to another, changed here
// at a transfer's start and by EndTransfer at its end: which one the listener holds depends on
// whether a transfer runs, which the analysis cannot follow.
void CEthCamera::SignalTransferStart() {
  if (!_done_mutex.Wait()) WriteErrLog("CEthCamera::BkgListener():\nCannot lock _done_mutex.\n\n");
  if (!_data_started_mutex.Release()) {
    WriteErrLog("CEthCamera::WaitForRawData():\nCannot signal transfer start.\n\n");
  }
}

const char* CEthCamera::EndTransfer(ListenerState& state) {
  _data_taking.store(false);
  state.started = false;
  if (!_done_mutex.Release()) {
    WriteErrLog("CEthCamera::BkgListener():\nCannot unlock _done_mutex.\n\n");
  }
  if (!_data_started_mutex.Wait()) {
    return "CEthCamera::BkgListener():\nCannot lock _data_started_mutex.\n\n";
  }
  return nullptr;
}

// The listener lets go of _nudp_mutex for the command, which takes it as any sender does, and
// takes it back. When it cannot let go (it does not own the mutex) it returns at once: the
// analysis, which takes every release as done, would read that as returning without it.
bool CEthCamera::TransferDone() {
  if (!_nudp_mutex.Release()) {
    WriteErrLog("CEthCamera::TransferDone():\nCannot unlock access to NUDP socket.\n\n");
    return false;
  }
  // An answer with fewer than two data bytes leaves the status byte at 0: not finished, so the
  // transfer is given up only after the tries. More than four bytes are cut to the word.
  std::uint32_t number = 0;
  std::uint8_t status[4] = {0, 0, 0, 0};
  std::uint32_t length = 0;
  const bool answered =
      SendCmd(NUDP_CMD_TRANSFER_STATUS, NUDP_TOP_COMMAND, &number, status, &length, sizeof status);
  if (!_nudp_mutex.Wait()) {
    WriteErrLog("CEthCamera::TransferDone():\nCannot lock access to NUDP socket.\n\n");
  }
  if (!answered) {
    WriteErrLog("CEthCamera::TransferDone():\nCommand 0x0A failed.\n\n");
    return true;
  }
  const std::uint8_t byte = status[NUDP_STATUS_BYTE];
  if ((byte & NUDP_STATUS_FINISHED) != 0) {
    WriteLog("CEthCamera::TransferDone():\nTransfer is finished.\n\n");
    return true;
  }
  // Widened with its sign, as the status has always been printed: 0x80 shows as FFFFFF80.
  const auto widened = static_cast<std::int32_t>(static_cast<std::int8_t>(byte));
  LogFormatted(false, "CEthCamera::TransferDone():\nTransfer NOT finished (status:%X).\n\n",
               static_cast<unsigned>(widened));
  return false;
}

bool CEthCamera::WaitForRawData(const std::atomic<bool>* stop) {
  for (;;) {
    if (!WaitForTransfer(stop)) return false;
    // Looked at again with the socket ours, so that no restart comes between the look and the
    // hand-over; what has come meanwhile is judged first.
    AcquireNudpWithoutLimit();
    DispatchQueued(*_handler);
    TakeRestartedStream();
    const bool restarted = _data_taking.load();
    const bool complete = !restarted && ImageComplete();
    if (complete) _nudp->HandOver();
    _nudp_mutex.Release();
    if (!restarted) return complete;
  }
}

void CEthCamera::ReleaseRawDataBuffer() {
  HandOverImage();
  _stream_may_run.store(true);
}

void CEthCamera::HandOverImage() {
  for (;;) {
    if (_data_taking.load()) {
      const std::atomic<bool> stop{true};
      WaitForTransfer(&stop, StopReason::kHandOver);
    }
    AcquireNudpWithoutLimit();
    // A transfer still marked as running once the listener has stopped has nobody to end it.
    const bool restarted = _data_taking.load() && _connected.load();
    if (!restarted) _nudp->HandOver();
    _nudp_mutex.Release();
    if (!restarted) return;
  }
}

// Takes _data_started_mutex and _done_mutex only to see the listener let go of them, with timed
// waits whose three results the analysis cannot follow.
bool CEthCamera::WaitForTransfer(const std::atomic<bool>* stop, StopReason reason) {
  // Passes the caller's stop on to the listener; asked again at every poll, so that a stop
  // that came before the transfer's start is not lost.
  const auto pass_stop_on = [this, stop, reason] {
    if (stop != nullptr && stop->load()) _stop_transfer.store(reason);
  };
  _wait_mutex.Wait();
  if (!_data_taking.load()) {
    _wait_mutex.Release();
    return ImageComplete();
  }
  WriteLog("CEthCamera::WaitForRawData():\nRAW data not ready, waiting.\n\n");
  _wait_mutex.Release();

  while (_data_taking.load()) {
    const CameraMutex::WaitResult result = _data_started_mutex.Wait(kStartPollLimit);
    if (result == CameraMutex::WaitResult::kTimedOut) {
      WriteLog("CEthCamera::WaitForRawData():\nStill waiting for transfer start.\n\n");
      pass_stop_on();
      continue;
    }
    if (result == CameraMutex::WaitResult::kAcquired) {
      WriteLog("CEthCamera::WaitForRawData():\nData transfer has started, waiting.\n\n");
      if (!_data_started_mutex.Release()) {
        WriteErrLog("CEthCamera::WaitForRawData():\nCannot unlock _data_started_mutex.\n\n");
      }
    } else {
      WriteErrLog("CEthCamera::WaitForRawData():\nWaiting for data transfer failed.\n\n");
    }
    break;
  }
  if (stop == nullptr) {
    _done_mutex.Wait();
  } else {
    while (_done_mutex.Wait(kStartPollLimit) == CameraMutex::WaitResult::kTimedOut) {
      pass_stop_on();
    }
  }
  _done_mutex.Release();
  WriteLog("CEthCamera::WaitForRawData():\nEnd of RAW data signaled.\n\n");
  return ImageComplete();
}

bool CEthCamera::ImageComplete() const {
  return !_no_buffer.load() && Nudp().RawCount() == RAW_PACKETS_PER_IMAGE;
}

}  // namespace fp
