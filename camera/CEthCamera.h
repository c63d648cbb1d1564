#pragma once

#include "base/FunctionRef.h"
#include "base/LogStream.h"
#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "camera/CameraMutex.h"
#include "camera/DriverCounts.h"
#include "camera/DriverTimings.h"
#include "camera/TakenImage.h"
#include "nudp/NudpProtocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace fp {

class LogStream;
class NudpSocket;
class RefreshThread;
class SocketHandler;

// The driver of one NUDP camera on the network.
//
// The constructor binds the driver's UDP endpoint (port 32100, or 32101 when that one is taken)
// on the local interface; Open connects it to a camera and starts two threads, the background
// listener that keeps the socket's event loop turning and receives RAW images, and the watchdog
// that refreshes the camera every few seconds on a socket of its own. Close stops both. One
// object serves one connection at a time and can be opened again after Close.
//
// Every operation but the constructor reports failure in its result and writes the reason into
// the driver log and the error log (when they are open). The constructor throws a pointer to a
// constant text.
//
// Threads: the constructor, the destructor, Open, Close, the log openers, SetRawDataBuffer,
// WaitForRawData, ReadMissing and TakeImage belong to one caller thread. SendCmd may be called
// from the caller thread while the listener runs. WriteLog and WriteErrLog are safe from any
// thread.
class CEthCamera {
 public:
  // `local` is the local interface, a dotted quad or a host name. Throws one of
  // "CEthCamera: handler not created.", "CEthCamera: socket not created.",
  // "CEthCamera: local interface syntax error." and "CEthCamera: cannot bind to local ip:port".
  explicit CEthCamera(const std::string& local);
  // Closes the connection if it is open, then closes the logs with "STOP LOGGING.".
  ~CEthCamera();
  CEthCamera(const CEthCamera&) = delete;
  CEthCamera& operator=(const CEthCamera&) = delete;

  // Connects to the camera at `remote` (a dotted quad or a host name; the camera's port is
  // 1234) and starts the watchdog and the listener. Sends nothing to the camera. False when the
  // camera is connected already or anything on the way fails.
  bool Open(const std::string& remote) EXCLUDES(_start_mutex, _count_marks_mutex);
  // Waits for a RAW transfer in progress to end, then stops the listener and the watchdog.
  // True when the connection is closed or was not open; false when the NUDP socket is still in
  // use (nothing changes then). Not from the listener thread.
  bool Close() EXCLUDES(_nudp_mutex);

  // "<local address>:32100".
  std::string GetLocalAddress() const;
  // "<camera address>:1234" while connected, otherwise "(connection closed)".
  std::string GetRemoteAddress() const;

  // Attach the driver log and the error log to a file, appended to (created when missing), once
  // per camera, before Open. False when that log is open already or the file cannot be opened
  // (or, with AtLink::kRefuse, is a symbolic link).
  bool OpenLog(const std::string& file_name,
               LogStream::AtLink at_link = LogStream::AtLink::kFollow);
  bool OpenErrLog(const std::string& file_name,
                  LogStream::AtLink at_link = LogStream::AtLink::kFollow);
  // Before the openers: `report` hears of the first failed write of each log, once (see
  // LogStream). Without it a failed write goes unreported and the camera goes on.
  void SetLogFailureReport(const LogStream::FailureReport& report);
  // `text` into the driver log behind the UTC time "H:M:S: ". Safe from any thread.
  void WriteLog(const char* text);
  // The same line into the driver log and into the error log. Safe from any thread.
  void WriteErrLog(const char* text) EXCLUDES(_last_error_mutex);
  // The text of the last error logged, also when the error log is not open; empty before the
  // first. For callers that report a failure to a person. Safe from any thread.
  std::string LastError() const EXCLUDES(_last_error_mutex);
  // Forgets the last error, so that LastError speaks of what comes after. Safe from any thread.
  void ClearLastError() EXCLUDES(_last_error_mutex);

  // Writes `line` unstamped as the last text of each open log and closes the logs for good;
  // whatever is logged afterwards is dropped. For a process that is about to end abruptly.
  // Safe from any thread.
  void CloseLogsWith(const char* line);

  // Sends one command (number field, TOP 0 to 6) and waits for the camera's answer, repeating
  // the command twice more when no answer or a damaged one comes. When the camera answered,
  // hands over its number field (when `response_number` is given) and, when both `data` and
  // `length` are given and the answer carries data, at most `capacity` bytes of its data and
  // their count; returns true. A command with the low byte 0x08 starts RAW data taking; without
  // a buffer set (SetRawDataBuffer) it is sent all the same, logged as an error, and its image
  // is never reported complete. A 0x08 that went unanswered while its RAW data came is taken as
  // started rather than sent again (true, nothing handed over). When no attempt is answered,
  // contact is lost and the connection is closed.
  bool SendCmd(std::uint32_t number, std::uint8_t top, std::uint32_t* response_number = nullptr,
               std::uint8_t* data = nullptr, std::uint32_t* length = nullptr,
               std::size_t capacity = NUDP_MAX_DATA_LENGTH) EXCLUDES(_nudp_mutex);

  // Makes `buffer` (RAW_IMAGE_SIZE bytes, owned by the caller) the target of the next RAW image.
  // False while data is being taken. The buffer must stay allocated until the image is handed
  // back: WaitForRawData returned true, ReadMissing returned, ReleaseRawDataBuffer or Close was
  // called, or another buffer was set. Until then copies that come late are compared with it,
  // and an answer to an earlier 0x08 restarts the image in it (see NudpSocket).
  bool SetRawDataBuffer(std::uint8_t* buffer) EXCLUDES(_nudp_mutex);
  // Waits until no RAW transfer is running; true when the last image is complete, and then
  // hands the image back. `stop`, when given, is looked at every 20 ms: once it is set (from
  // any thread), the listener ends the transfer at its next pass, as one the camera gave up
  // (RAW receiving off, the packets stored stay), and logs as an error that the caller stopped
  // it.
  bool WaitForRawData(const std::atomic<bool>* stop = nullptr)
      EXCLUDES(_nudp_mutex, _wait_mutex, _done_mutex, _data_started_mutex);
  // Hands the last image back to the caller without recovering it (a transfer that a restart
  // began again is stopped first). The next 0x08 then waits for the camera to fall silent, in
  // case its stream still runs.
  void ReleaseRawDataBuffer() EXCLUDES(_nudp_mutex);
  // Fetches every packet missing from the last image into `buffer`, ascending, one
  // retransmission request each. An answer that does not bring exactly one packet's data is not
  // stored and the packet is asked for again, as often as a command is sent. True when all were
  // fetched (or none was missing); false at the first packet that could not be fetched. The
  // packet map and count of the socket stay as they were. `stop`, when given, is looked at
  // before each packet: once it is set (from any thread), recovery ends with false and logs as
  // an error where it stopped. Packets that a late copy put in conflict meanwhile are fetched
  // too. When the image begins again during recovery (an answer to an earlier 0x08, or a stream
  // without one), what was fetched for the exposure before is dropped, the new stream is waited
  // for and the recovery starts over. Hands the image back at its end.
  bool ReadMissing(std::uint8_t* buffer, const std::atomic<bool>* stop = nullptr)
      EXCLUDES(_nudp_mutex);
  // One image into `buffer` (RAW_IMAGE_SIZE bytes, owned by the caller), the operations above
  // in their order: the buffer set, 0x08, the wait for the transfer and, when packets are
  // missing, their recovery; the image is handed back at the end. `on_started` runs once the
  // 0x08 is answered, before the wait, so that the caller's work for the image before runs
  // while this one streams in. `stop`, when given, is looked at before anything is sent (the
  // image is not started then), by the wait and by the recovery as they say; a transfer it
  // ended is not recovered. For a program that takes images one after another.
  TakenImage TakeImage(
      std::span<std::uint8_t> buffer, const std::atomic<bool>* stop = nullptr,
      FunctionRef<void()> on_started = [] {}) EXCLUDES(_nudp_mutex);
  // The packets of the last image that are in its buffer neither from the stream nor from
  // ReadMissing, ascending and merged into ranges; empty for a complete image. For the caller
  // thread once WaitForRawData has returned.
  std::vector<RawPacketRange> MissingRanges() const;
  // The packets of the last image that its stream did not bring (what recovery had to fetch), as
  // MissingRanges: after a restart, those of the stream the image was completed from.
  std::vector<RawPacketRange> LostRanges() const;

  // The camera's NUDP socket, for reading its RAW packet count and its last answer. Its const
  // readers are atomics, safe from any thread without _nudp_mutex (see NudpSocket), which the
  // analysis cannot tell from the operations that need it; those go through _nudp.
  const NudpSocket& Nudp() const NO_THREAD_SAFETY_ANALYSIS { return *_nudp; }

  // What the driver has counted: over the last RAW transfer (from the last 0x08 sent on) and
  // since Open, with the receive buffer granted. Safe from any thread; each count is whole,
  // the set is not taken at one instant.
  DriverCounters Counters() const EXCLUDES(_count_marks_mutex);

  bool Connected() const { return _connected.load(); }
  // True while the watchdog runs; false after it lost contact, and without a connection.
  bool WatchdogRunning() const;
  bool DataTaking() const { return _data_taking.load(); }

  // The length of the watchdog's tick, one second unless set; from the next Open on. For tests,
  // which cannot wait for whole seconds.
  void SetWatchdogTick(std::chrono::milliseconds tick) { _watchdog_tick = tick; }

 private:
  struct ListenerState;

  // The listener thread's body and the transfer check it makes (CEthCameraListener.cpp). The
  // listener's holds are the table at the top of that file; where they pass from one call to
  // the next, or to another thread, the analysis cannot follow them, and the functions that
  // make those moves say so.
  void BkgListener() NO_THREAD_SAFETY_ANALYSIS;
  const char* ListenerPass(ListenerState& state) REQUIRES(_nudp_mutex);
  // Between passes: lets the senders waiting for _nudp_mutex have it, and takes it back.
  const char* LetSendersIn() REQUIRES(_nudp_mutex) NO_THREAD_SAFETY_ANALYSIS;
  // At a transfer's start the listener takes _done_mutex and lets go of _data_started_mutex;
  // at its end, the other way round.
  void SignalTransferStart() REQUIRES(_nudp_mutex, _wait_mutex) NO_THREAD_SAFETY_ANALYSIS;
  const char* EndTransfer(ListenerState& state)
      REQUIRES(_nudp_mutex, _wait_mutex) NO_THREAD_SAFETY_ANALYSIS;
  bool TransferDone() REQUIRES(_nudp_mutex) NO_THREAD_SAFETY_ANALYSIS;
  // Who ends a transfer before its time: the caller's stop, or the hand-over of an image that a
  // restart began again.
  enum class StopReason { kNone, kCaller, kHandOver };
  // WaitForRawData without handing the image back; a stop is passed on with `reason`.
  bool WaitForTransfer(const std::atomic<bool>* stop, StopReason reason = StopReason::kCaller)
      EXCLUDES(_nudp_mutex, _wait_mutex, _done_mutex,
               _data_started_mutex) NO_THREAD_SAFETY_ANALYSIS;
  // Ends the socket's keeping of the image, stopping a restarted transfer first.
  void HandOverImage() EXCLUDES(_nudp_mutex);
  // The recovery walks of ReadMissing. True when the image is whole from one exposure; it has
  // then been handed back, in the same hold of _nudp_mutex as the last look at it.
  bool Recover(std::uint8_t* buffer, const std::atomic<bool>* stop) EXCLUDES(_nudp_mutex);
  // SendCmd, with `take_answer` run on the answer while the socket is still ours (instead of
  // handing over its number and data): it is given the socket.
  bool Exchange(std::uint32_t number, std::uint8_t top, FunctionRef<bool(NudpSocket&)> take_answer)
      EXCLUDES(_nudp_mutex);
  // Holding _nudp_mutex after a Select: a restart of the kept image has switched RAW receiving
  // on again, so a transfer runs once more.
  void TakeRestartedStream() REQUIRES(_nudp_mutex);
  // Every packet of the last image was stored from the stream into its buffer.
  bool ImageComplete() const;
  // The packets neither stored from the stream nor (`count_fetched`) fetched by recovery.
  std::vector<RawPacketRange> RangesNotIn(bool count_fetched) const;
  enum class Fetch { kFetched, kFailed, kRestarted };
  // One packet into its place in `buffer` (may be null), asked for until an answer brings its
  // whole data, at most as often as a command is sent. kFailed when it never did; kRestarted
  // (nothing stored) when the image began again since `restarts` was read.
  Fetch FetchPacket(int packet, std::uint8_t* buffer, std::uint64_t restarts) EXCLUDES(_nudp_mutex);
  // Before a 0x08 is sent again after a damaged answer, or sent at all after an image whose
  // stream may still run (`before_start`): turns the handler, RAW receiving off, until no
  // datagram has come for kRawTimeout. False when the camera is still sending after a bound of
  // some seconds (logged as an error); the command is then not sent.
  bool DrainStream(std::uint32_t wire, bool before_start) REQUIRES(_nudp_mutex);
  // After 0x08 was answered: data taking starts unless the image is already in or RAW
  // receiving was turned off meanwhile.
  void NoteRawStart() REQUIRES(_nudp_mutex);
  // Takes _nudp_mutex from another thread than the listener: asks the listener to let go of it
  // and ends the wait it may be sitting in. False when the mutex was not acquired in 10 s.
  bool AcquireNudp() TRY_ACQUIRE(true, _nudp_mutex);
  // The same without a time limit: for handing an image back, which may not be skipped.
  void AcquireNudpWithoutLimit() ACQUIRE(_nudp_mutex);
  // Around the wait of both: the listener lets go of _nudp_mutex while a sender waits.
  void BeginNudpWait();
  void EndNudpWait();
  // Ends the wait for datagrams that the listener may be sitting in; safe from any thread
  // (SocketHandler::Wake), which the analysis cannot tell from the handler's other operations.
  void WakeListener() NO_THREAD_SAFETY_ANALYSIS;
  // The socket on the caller thread while no listener runs (before Open starts it, once it has
  // been joined): nobody else uses the socket then, without _nudp_mutex, which the analysis
  // cannot see.
  NudpSocket& IdleNudp() NO_THREAD_SAFETY_ANALYSIS;
  // Tells Open that the listener has started, or has given up starting.
  void SignalListenerStart() EXCLUDES(_start_mutex);
  // After the listener has stopped by itself: joins it and deletes the watchdog.
  void ReapListener();
  void DeleteRefresh();
  // The socket's and the camera's counts since construction.
  DriverCounts CountsNow() const;
  // Formats a message into 128 characters (cut there) and logs it, as an error or not.
  void LogFormatted(bool as_error, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Shared by the caller thread and the listener; see CEthCameraListener.cpp for who holds
  // which mutex when. The last three guard moments rather than members: the start and the end
  // of a transfer, and the gap between two data passes.
  CameraMutex _nudp_mutex;
  CameraMutex _wait_mutex;
  CameraMutex _done_mutex;
  CameraMutex _data_started_mutex;

  // Started by Open, joined by Close, Open or the destructor on the caller thread.
  std::thread _listener_thread;
  std::atomic<std::thread::id> _listener_id{};

  // The listener's start, awaited by Open.
  Mutex _start_mutex;
  std::condition_variable _start_signal;
  bool _listener_settled GUARDED_BY(_start_mutex) = false;

  // Polled across threads without a lock.
  std::atomic<bool> _stop_listener{false};
  // Senders waiting for _nudp_mutex; the listener lets go of it while this is above 0.
  std::atomic<int> _cmd_waiting{0};
  // Set by a lost contact on the listener thread: the listener closes the connection itself.
  std::atomic<bool> _give_up{false};
  // Set by WaitForRawData for a caller that stops the transfer running; the listener ends the
  // transfer and clears it, and clears it at a transfer's start.
  std::atomic<StopReason> _stop_transfer{StopReason::kNone};

  // Used under _nudp_mutex (caller thread and listener); created and deleted by the owner.
  std::unique_ptr<SocketHandler> _handler PT_GUARDED_BY(_nudp_mutex);
  std::unique_ptr<NudpSocket> _nudp PT_GUARDED_BY(_nudp_mutex);
  // Created by Open, deleted by Close, Open or the destructor, all on the caller thread.
  std::unique_ptr<RefreshThread> _refresh;

  std::uint32_t _local_ip = 0;   // network byte order
  std::uint32_t _remote_ip = 0;  // network byte order
  std::uint16_t _local_port = NUDP_DRIVER_PORT;
  std::uint16_t _remote_port = NUDP_CAMERA_PORT;
  std::chrono::milliseconds _watchdog_tick{1000};

  // Written by the listener (_connected) and by SendCmd and the listener (_data_taking); polled
  // by the caller thread and the watchdog.
  std::atomic<bool> _connected{false};
  std::atomic<bool> _data_taking{false};
  // The last 0x08 went out without an image buffer: nothing of its image is stored. Written by
  // SendCmd, read by the caller thread.
  std::atomic<bool> _no_buffer{false};
  // The last image ended otherwise than by its last packet (stopped by the caller, given up,
  // contact lost, recovery failed): its stream may still be on its way, so the next 0x08 waits
  // for silence first. Written by the listener and the caller thread.
  std::atomic<bool> _stream_may_run{false};
  // The socket's count of answers to a 0x08 that no image took, when the last 0x08 was sent: one
  // more since means an exposure nobody asked for streams now. Caller thread.
  std::uint64_t _stray_starts_seen GUARDED_BY(_nudp_mutex) = 0;

  // Packets of the last image that ReadMissing brought (one entry a packet), cleared by
  // SetRawDataBuffer and by 0x08; and those its last call brought since the image last began.
  // Caller thread only.
  std::vector<std::uint8_t> _fetched = std::vector<std::uint8_t>(RAW_PACKETS_PER_IMAGE, 0);
  std::vector<std::uint8_t> _fetched_now = std::vector<std::uint8_t>(RAW_PACKETS_PER_IMAGE, 0);

  // Counted where it happens, by whichever thread does it; read from any thread.
  CameraCountsOf<std::atomic<std::uint64_t>> _counts;
  // The counts at the last Open and at the last 0x08, from which Counters() measures (caller
  // thread and readers).
  mutable Mutex _count_marks_mutex;
  DriverCounts _counts_at_open GUARDED_BY(_count_marks_mutex);
  DriverCounts _counts_at_transfer GUARDED_BY(_count_marks_mutex);

  // Created by the constructor, attached by the openers, closed by the destructor.
  std::unique_ptr<LogStream> _log;
  std::unique_ptr<LogStream> _err_log;
  // Written by every thread that logs an error.
  mutable Mutex _last_error_mutex;
  std::string _last_error GUARDED_BY(_last_error_mutex);
};

}  // namespace fp
