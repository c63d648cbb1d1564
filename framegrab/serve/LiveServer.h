#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fp {

class HttpServer;
class LatestPng;
class PreviewWorker;
class RunRecords;
struct RunModel;
struct HttpAnswer;
struct HttpRequest;
struct StreamCursor;

// One camera of those a LiveServer shows: its records and its previews, neither owned.
struct LiveCamera {
  RunRecords* records = nullptr;
  const PreviewWorker* preview = nullptr;
};

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
//
// A station of several cameras is served the same routes: the page has the station's verdict
// and a panel for each camera, an event carries them all (StationEventJson), /stats.json is
// StationToJson (each camera's records paged alike), /metrics StationToMetrics, and
// /preview.png and /latest.png take the camera as ?camera=K (1, 2, ...; 1 by default). With one
// camera every answer is a lone run's.
class LiveServer {
 public:
  // Records in one answer of /stats.json: each carries its histogram, about 1.3 KB of JSON.
  static constexpr std::size_t kPage = 100;

  LiveServer(RunRecords& records, const PreviewWorker& preview);
  // A station's cameras, at least one, in the order the page and the answers show them.
  explicit LiveServer(std::vector<LiveCamera> cameras);
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
  // A camera as the server keeps it.
  struct Shown {
    LiveCamera camera;
    std::unique_ptr<LatestPng> latest;
    // Touched by the server's thread alone.
    std::uint64_t event_records = 0;  // the records' version the event shows
    int event_image = -1;             // the preview's image it shows (0: none yet)
  };

  // The models of every camera now, in their order; `hold` keeps them.
  std::vector<const RunModel*> Models(std::vector<std::shared_ptr<const RunModel>>& hold) const;
  // The camera ?camera=K asks for, or null when there is none such.
  Shown* CameraOf(const HttpRequest& request);
  HttpAnswer Stats(const HttpRequest& request);
  HttpAnswer Metrics();
  HttpAnswer PreviewPng(const HttpRequest& request);
  HttpAnswer Latest(const HttpRequest& request);
  std::string NextEvent(StreamCursor& cursor);
  // The event data of the records and previews now, made again when any changed, at most
  // once in kEventGap; `_event_serial` counts the times it was made.
  const std::string& EventData();

  std::vector<Shown> _cameras;
  std::unique_ptr<HttpServer> _server;

  // Touched by the server's thread alone.
  std::uint64_t _event_serial = 0;
  std::chrono::steady_clock::time_point _event_made{};
  std::string _event;
};

}  // namespace fp
