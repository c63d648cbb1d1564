// CEthCamera's command exchange: one command, its answer, its repetitions, lost contact.

#include "camera/CEthCamera.h"
#include "camera/CommandAttempt.h"
#include "camera/RefreshThread.h"
#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <chrono>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

// Senders, Close and SetRawDataBuffer wait this long for the NUDP socket.
constexpr std::chrono::milliseconds kSocketLockLimit{10000};
// A camera that streams after a damaged answer to 0x08 is given this long to fall silent before
// the command is given up: an image takes 73 ms at 1 Gbit/s and 0.73 s at 100 Mbit/s.
constexpr std::chrono::milliseconds kDrainLimit{2000};

}  // namespace

bool CEthCamera::AcquireNudp() {
  if (_nudp_mutex.TryWait()) return true;
  BeginNudpWait();
  const bool acquired = _nudp_mutex.Wait(kSocketLockLimit) == CameraMutex::WaitResult::kAcquired;
  EndNudpWait();
  return acquired;
}

void CEthCamera::AcquireNudpWithoutLimit() {
  if (_nudp_mutex.TryWait()) return;
  BeginNudpWait();
  _nudp_mutex.Wait();
  EndNudpWait();
}

void CEthCamera::BeginNudpWait() {
  _cmd_waiting.fetch_add(1);
  // The listener looks at _cmd_waiting between passes; end the pass it is waiting in.
  WakeListener();
}

void CEthCamera::EndNudpWait() {
  if (_cmd_waiting.fetch_sub(1) == 1) _cmd_waiting.notify_all();
}

void CEthCamera::WakeListener() { _handler->Wake(); }

bool CEthCamera::SendCmd(std::uint32_t number, std::uint8_t top, std::uint32_t* response_number,
                         std::uint8_t* data, std::uint32_t* length, std::size_t capacity) {
  return Exchange(number, top, [&](NudpSocket& nudp) {
    return nudp.GetResponse(response_number, data, length, capacity);
  });
}

bool CEthCamera::Exchange(std::uint32_t number, std::uint8_t top,
                          FunctionRef<bool(NudpSocket&)> take_answer) {
  const std::uint32_t wire = WireOrderForLog(number);
  LogFormatted(false, "CEthCamera::SendCmd() (%s) number field = %.8X:\n",
               GetLocalAddress().c_str(), wire);
  // A bad argument says nothing about the camera: refused here, the connection stays.
  if (top > NUDP_MAX_SEND_TOP) {
    LogFormatted(true,
                 "CEthCamera::SendCmd() (number field = %.8X):\nTOP %u not allowed (0 to 6), "
                 "command not sent.\n\n",
                 wire, static_cast<unsigned>(top));
    return false;
  }
  if (!_connected.load()) {
    WriteErrLog("Connection closed. Command not sent.\n\n");
    return false;
  }
  if (_refresh == nullptr || !_refresh->Running()) {
    WriteErrLog("Refresh is stopped. Command not sent.\n\n");
    return false;
  }
  const bool start_raw = IsStartRawCommand(number);
  if (start_raw && _data_taking.load()) {
    WriteErrLog("Cannot send 0x08 command while data taking.\n\n");
    return false;
  }
  if (!AcquireNudp()) {
    LogFormatted(true,
                 "CEthCamera::SendCmd() (number field = %.8X):\nCannot lock access to NUDP "
                 "socket.\n\n",
                 wire);
    return false;
  }
  if (start_raw) {
    std::fill(_fetched.begin(), _fetched.end(), std::uint8_t{0});
    _no_buffer.store(!_nudp->HasImage());
    if (_no_buffer.load()) {
      WriteErrLog(
          "CEthCamera::SendCmd() (0x08 command):\nNo RAW data buffer set: the image will not be "
          "stored.\n\n");
    }
    // The last transfer's counts start here, with this command's own.
    const DriverCounts now = CountsNow();
    {
      MutexLock lock(_count_marks_mutex);
      _counts_at_transfer = now;
    }
    // What an image stopped, given up or cut off by an outage left in flight would land in
    // this one: the camera must be silent first.
    // So would the stream of an exposure the camera started for an earlier 0x08 whose answer
    // came after its image was handed back.
    if (_stream_may_run.load() || _nudp->StrayStartAnswers() != _stray_starts_seen) {
      if (!DrainStream(wire, /*before_start=*/true)) {
        _nudp_mutex.Release();
        return false;
      }
      _stream_may_run.store(false);
    }
    _stray_starts_seen = _nudp->StrayStartAnswers();
  }
  bool pending = true;
  bool damaged = false;
  bool first = true;
  bool unanswered = false;  // an earlier attempt timed out
  bool streamed = false;    // 0x08 taken as started by its RAW data, without an answer
  for (std::int32_t remaining = kRetries; remaining >= 0 && pending;) {
    --remaining;
    // After a damaged answer to 0x08 the camera may be streaming already: its packets must not
    // land in the image that the repeat clears the map for.
    if (start_raw && damaged && !DrainStream(wire, /*before_start=*/false)) break;
    // A slow camera may still answer an earlier 0x08; the last attempt gives that answer the
    // time of one more wait, as every repeat costs an exposure.
    const std::chrono::microseconds wait =
        start_raw && unanswered && remaining < 0 ? 2 * kResponseWait : kResponseWait;
    const AttemptOutcome outcome = AttemptCommand(*_handler, *_nudp, top, number, wait, [this] {
      WriteLog("RAW data packet while waiting for command response (not a problem).\n");
    });
    damaged = false;
    if (outcome != AttemptOutcome::kNotSent) {
      CountOne(_counts.commands);
      if (!first) CountOne(_counts.repeats);
      if (top == NUDP_TOP_RETRANSMIT) CountOne(_counts.retransmission_requests);
      if (top == NUDP_TOP_COMMAND && number == NUDP_CMD_TRANSFER_STATUS) {
        CountOne(_counts.status_requests);
      }
      first = false;
    }
    if (outcome == AttemptOutcome::kNotSent) {
      if (start_raw) _nudp->StopData();
      LogFormatted(true, "CEthCamera::SendCmd() (number field = %.8X):\nCommand not sent.\n\n",
                   wire);
      break;
    }
    switch (outcome) {
      case AttemptOutcome::kTimeout:
        CountOne(_counts.timeouts);
        unanswered = true;
        LogFormatted(true, "CEthCamera::SendCmd() (number field = %.8X):\nTimeout.\n\n", wire);
        // RAW data came for this 0x08 (the map was cleared when it left): the camera took the
        // command and streams. Sending it again would start another exposure. One packet alone
        // may be a stale one that a camera keeps resending, and proves nothing.
        if (start_raw && _nudp->RawCount() > 1) {
          _nudp->TakeStreamAsAnswer();
          WriteLog(
              "CEthCamera::SendCmd() (0x08 command):\nNo answer, but RAW data came: taken as "
              "started.\n\n");
          pending = false;
          streamed = true;
          NoteRawStart();
          break;
        }
        if (start_raw) _nudp->ClearRawDataFlag();
        break;
      case AttemptOutcome::kDamaged:
        damaged = true;
        if (start_raw) _nudp->ClearRawDataFlag();
        LogFormatted(true,
                     "CEthCamera::SendCmd() (number field = %.8X):\nError in camera response.\n\n",
                     wire);
        break;
      case AttemptOutcome::kAnswered:
        pending = false;
        if (start_raw) NoteRawStart();
        LogFormatted(false, "CEthCamera::SendCmd() (number field = %.8X):\nOK.\n\n", wire);
        break;
      case AttemptOutcome::kNotSent:  // handled above
      case AttemptOutcome::kUnexpected:
        LogFormatted(
            true, "CEthCamera::SendCmd() (number field = %.8X):\nUnexpected behaviour!\n\n", wire);
        break;
    }
  }

  // The answer is read while the socket is still ours, so that nobody changes its state
  // meanwhile.
  bool answered = false;
  if (!pending) {
    answered = streamed || take_answer(*_nudp);
    // From now until the caller hands the image over, late copies are compared with it and a
    // late answer to an earlier 0x08 restarts it.
    if (start_raw) _nudp->KeepImage();
  } else if (start_raw) {
    _nudp->StopData();
  }
  if (pending) _stream_may_run.store(true);
  // An answer to an earlier 0x08 that came during this exchange restarted the kept image: its
  // new stream is a transfer of its own.
  if (!start_raw) TakeRestartedStream();
  const bool on_listener = std::this_thread::get_id() == _listener_id.load();
  if (pending) CountOne(_counts.lost_contacts);
  if (pending && on_listener) {
    // Close would wait for this very thread. The connection is given up here instead, while
    // the socket is still ours: from now on every command is refused, and the listener ends
    // after its pass; the next Close, Open or the destructor joins it.
    WriteErrLog("CEthCamera::SendCmd():\nLost contact, closing connection.\n\n");
    _connected.store(false);
    _give_up.store(true);
    // Whatever the last attempt left (READY, or READY|CMD_ERR after a damaged answer), the
    // socket is closed here, so that the next Open finds it free.
    if (_nudp->IsWaiting()) _nudp->StopWaiting();
    _nudp->Suspend();
  }
  if (!_nudp_mutex.Release()) {
    WriteErrLog("CEthCamera::SendCmd():\nCannot unlock access to NUDP socket.\n\n");
    return false;
  }
  if (pending) {
    if (!on_listener) {
      WriteErrLog("CEthCamera::SendCmd():\nLost contact, closing connection.\n\n");
      Close();
    }
    return false;
  }
  return answered;
}

void CEthCamera::NoteRawStart() {
  if (_nudp->IsTakingData()) {
    _data_taking.store(true);
  } else if (_nudp->LastPacket() >= RAW_LAST_PACKET_INDEX) {
    WriteLog(
        "CEthCamera::SendCmd() (0x08 command):\nWarning: transfer has finished before "
        "camera answer!\n(image received)\n\n");
    // The last packet alone, before the answer: likelier the exposure before's, still in flight,
    // than a whole stream. The stream that follows the answer is taken too, and the early copy
    // counts for nothing: its place is fetched again by recovery.
    if (_nudp->RawCount() == 1 && !_no_buffer.load()) {
      _nudp->ResumeData();
      _data_taking.store(true);
      WriteLog(
          "CEthCamera::SendCmd() (0x08 command):\nOnly the last packet came before the answer: "
          "RAW data is taken on.\n\n");
    }
  } else {
    WriteErrLog("CEthCamera::SendCmd() (0x08 command):\nUnexpected state!\n\n");
  }
}

void CEthCamera::TakeRestartedStream() {
  if (!_data_taking.load() && _nudp->IsTakingData()) _data_taking.store(true);
}

bool CEthCamera::DrainStream(std::uint32_t wire, bool before_start) {
  CountOne(_counts.drains);
  if (before_start) {
    WriteLog(
        "CEthCamera::SendCmd() (0x08 command):\nThe stream of the image before may still run: "
        "waiting for the camera to fall silent.\n\n");
  } else {
    LogFormatted(false,
                 "CEthCamera::SendCmd() (number field = %.8X):\nWaiting for the camera to fall "
                 "silent before sending again.\n\n",
                 wire);
  }
  // RAW receiving is off, so whatever comes now is judged and dropped by the socket.
  const auto silence = kRawTimeout;
  const Clock::time_point start = Clock::now();
  const Clock::time_point limit = start + kDrainLimit;
  Clock::time_point quiet_since = start;
  const std::uint64_t seen_at_start = _nudp->DatagramsSeen();
  std::uint64_t seen = seen_at_start;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now - quiet_since >= silence) {
      if (before_start) {
        LogFormatted(
            false,
            "CEthCamera::SendCmd() (0x08 command):\n%llu datagrams drained in %d ms, "
            "the camera is silent.\n\n",
            static_cast<unsigned long long>(seen - seen_at_start),
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count()));
      }
      return true;
    }
    if (now >= limit) break;
    const auto left = std::min(quiet_since + silence, limit) - now;
    _handler->Select(
        0, static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
    if (_nudp->DatagramsSeen() != seen) {
      seen = _nudp->DatagramsSeen();
      quiet_since = Clock::now();
    }
  }
  LogFormatted(true,
               before_start ? "CEthCamera::SendCmd() (number field = %.8X):\nCamera does not fall "
                              "silent, command not sent.\n\n"
                            : "CEthCamera::SendCmd() (number field = %.8X):\nCamera does not fall "
                              "silent, command not repeated.\n\n",
               wire);
  return false;
}

}  // namespace fp
