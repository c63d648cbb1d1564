#pragma once

#include "framegrab/GrabReport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace fp {

class HttpServer;
class LatestPng;
class LiveState;
struct HttpAnswer;
struct HttpRequest;
struct StreamCursor;

// The live page of a run over HTTP, read-only, from `state`:
//   /            the page, filled in by the events
//   /events      server-sent events: a new state at most twice a second, a comment every 10 s
//   /stats.json  the figures so far, the fields of --json, with at most kPage records: those
//                from image `from` (?from=N, default 1)
//   /preview.png the newest preview (8-bit, downscaled, contrast stretched)
//   /latest.png  the image that preview shows, whole and 16-bit
// and 404 for anything else, on an HttpServer with its limits. It never waits for the grab
// thread but for the short lock of a snapshot. What a request shows is made at most once for
// each state of the run, on the server's thread, except /latest.png, which LatestPng encodes.
class LiveServer {
 public:
  static constexpr std::size_t kPage = 1000;

  explicit LiveServer(LiveState& state);
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
  // The summary (records left out) and the event data of the state now, each made once for
  // each version of it.
  const GrabReport& Summary();
  const std::string& EventData(std::uint64_t& version);

  LiveState& _state;  // not owned
  std::unique_ptr<HttpServer> _server;
  std::unique_ptr<LatestPng> _latest;

  // Touched by the server's thread alone.
  std::uint64_t _summary_version = 0;
  std::chrono::steady_clock::time_point _summary_made{};
  GrabReport _summary;
  std::uint64_t _event_version = 0;
  std::string _event;
};

}  // namespace fp
