#include "framegrab/acquire/FromCapture.h"

namespace fp {

namespace {

std::uint64_t Count(std::int64_t value) { return static_cast<std::uint64_t>(value); }

double MsBetween(std::int64_t from_ns, std::int64_t to_ns) {
  return static_cast<double>(to_ns - from_ns) / 1e6;
}

}  // namespace

UtcTime UtcOfCapture(std::int64_t ns) {
  return UtcTime(std::chrono::duration_cast<UtcTime::duration>(std::chrono::nanoseconds(ns)));
}

DriverCounts DriverCountsOf(const WireCounts& c) {
  DriverCounts d;
  d.socket.received = Count(c.received);
  d.socket.damaged = Count(c.damaged);
  d.socket.raw = Count(c.raw);
  d.socket.stored = Count(c.stored);
  d.socket.duplicates = Count(c.duplicates);
  d.socket.conflicts = Count(c.conflicts);
  d.socket.refused = Count(c.refused);
  d.socket.matched_answers = Count(c.matched_answers);
  d.socket.stray_answers = Count(c.stray_answers);
  d.socket.restarts = Count(c.restarts);
  d.camera.commands = Count(c.commands);
  d.camera.repeats = Count(c.repeats);
  // Each repetition follows an attempt that no answer ended in time.
  d.camera.timeouts = Count(c.repeats);
  d.camera.status_requests = Count(c.status_requests);
  d.camera.retransmission_requests = Count(c.retransmission_requests);
  d.camera.answered_retransmissions = Count(c.answered_retransmissions);
  d.camera.fetched_again = Count(c.fetched_again);
  return d;
}

ImageRecord RecordOf(const CapturedImage& image, std::int64_t run_start_ns) {
  ImageRecord r;
  r.number = image.number;
  r.complete = image.complete;
  r.stream_packets = image.stream_packets;
  r.missing_packets = image.missing_packets;
  r.image_ms = MsBetween(image.started_ns, image.ended_ns);
  r.recovery_ms = image.recovery_ms;
  r.ended_after_ms = MsBetween(run_start_ns, image.ended_ns);
  r.started = UtcOfCapture(image.started_ns);
  r.ended_utc = UtcOfCapture(image.ended_ns);
  r.missing_ranges = image.missing_ranges;
  r.transfer = DriverCountsOf(image.counts);
  r.wire = image.wire;
  return r;
}

RunFacts FactsOf(const Conversation& conversation, const std::string& capture_path,
                 const std::string& version) {
  RunFacts facts;
  facts.version = version;
  facts.capture = capture_path;
  facts.local = Ipv4Text(conversation.host.ip);
  facts.camera = Ipv4Text(conversation.camera.ip);
  facts.camera_id = conversation.camera_id;
  facts.started = UtcOfCapture(conversation.first_ns);
  facts.opened = true;
  facts.ended_by = RunEnd::kImages;
  return facts;
}

}  // namespace fp
