#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fp {

class HttpServer;
class LatestPng;
class PreviewWorker;
class RunRecords;
struct HttpAnswer;
struct HttpRequest;
struct StreamCursor;

// The live page of a run over HTTP, read-only, from `records` and `preview`:
//   /            the page, filled in by the events
//   /events      server-sent events: a new state at most twice a second, a comment every 10 s
//   /stats.json  the figures so far, the fields of --json, with at most kPage records: those
//                from image `from` (?from=N, default 1)
//   /metrics     the same figures for a monitoring system, in the Prometheus text format
//   /preview.png the newest preview (8-bit, downscaled, contrast stretched)
//   /latest.png  the image that preview shows, whole and 16-bit
// and 404 for anything else, on an HttpServer with its limits. It never waits for the grab
// thread but for the short lock of a snapshot. Every answer is rendered from one model of the
// run for each change of the records, on the server's thread; /latest.png is encoded by
// LatestPng, at most once for each image.
class LiveServer {
 public:
  // Records in one answer of /stats.json: each carries its histogram, about 1.3 KB of JSON.
  static constexpr std::size_t kPage = 100;

  LiveServer(RunRecords& records, const PreviewWorker& preview);
  ~LiveServer();  // Stop()
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  // Listens on address:port and serves on a thread of its own; false with the reason in
  // `error`.
  bool Start(const std::string& address, int port, std::string& error);
  // After Start: whether only this machine can reach the page.
  bool OnLoopback() const;
  // Ends every connection and the threads. Idempotent.
  void Stop();

 private:
  HttpAnswer Stats(const HttpRequest& request);
  HttpAnswer Latest();
  std::string NextEvent(StreamCursor& cursor);
  // The event data of the records and preview now, made again when either changed, at most
  // once in kEventGap; `_event_serial` counts the times it was made.
  const std::string& EventData();

  RunRecords& _records;           // not owned
  const PreviewWorker& _preview;  // not owned
  std::unique_ptr<HttpServer> _server;
  std::unique_ptr<LatestPng> _latest;

  // Touched by the server's thread alone.
  std::uint64_t _event_records = 0;  // the records' version the event shows
  int _event_image = -1;             // the preview's image it shows (0: none yet)
  std::uint64_t _event_serial = 0;
  std::chrono::steady_clock::time_point _event_made{};
  std::string _event;
};

}  // namespace fp
