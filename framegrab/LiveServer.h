#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace fp {

class PreviewWorker;
class RunRecords;

// The live page of a run over HTTP, read-only, from `records` and `preview`:
//   /            the page, filled in by the events
//   /events      server-sent events: a new state at most twice a second, a comment every 10 s
//   /stats.json  the figures so far, the fields of --json
//   /metrics     the same figures for a monitoring system, in the Prometheus text format
//   /preview.png the newest preview (8-bit, downscaled, contrast stretched)
//   /latest.png  the image that preview shows, whole and 16-bit
// and 404 for anything else. It never waits for the grab thread but for the short lock of a
// snapshot; every page, chart and PNG is made on the server's own threads, from one model of
// the run for each change of the records. A client that reads nothing for 5 s is dropped.
class LiveServer {
 public:
  LiveServer(RunRecords& records, const PreviewWorker& preview);
  ~LiveServer();  // Stop()
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  // Listens on address:port and serves on threads of its own; false with the reason in `error`.
  bool Start(const std::string& address, int port, std::string& error);
  // Ends every connection and the threads. Idempotent.
  void Stop();

 private:
  // The newest event's data, made once for each version of the state.
  std::string EventData(std::uint64_t& version);

  RunRecords& _records;           // not owned
  const PreviewWorker& _preview;  // not owned
  std::unique_ptr<httplib::Server> _server;

  // Guarded by _cache_mutex (server threads).
  std::mutex _cache_mutex;
  std::uint64_t _cached_version = 0;
  std::string _cached_event;

  std::thread _thread;
};

}  // namespace fp
