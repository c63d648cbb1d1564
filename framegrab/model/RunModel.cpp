#include "framegrab/model/RunModel.h"

#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace fp {

const std::int32_t kImageReceiveBufferBytes = NudpSocket::kImageReceiveBufferBytes;

namespace {

// One RAW packet as an IP datagram: the NUDP packet, the UDP and the IPv4 header.
constexpr std::size_t kRawDatagramIpBytes = NUDP_MAX_PACKET_LENGTH + 8 + 20;

// Nearest rank: the smallest value with at least `fraction` of the values at or below it.
double Percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) return 0;
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  const std::size_t at = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The camera's address without its port.
std::string CameraAddress(const RunFacts& facts) {
  return facts.camera.substr(0, facts.camera.find(':'));
}

std::string HostcheckCommand(const RunFacts& facts) {
  return "hostcheck " + facts.local + " " + CameraAddress(facts);
}

std::string HostcheckLine(const RunFacts& facts) {
  return "check the host with: " + HostcheckCommand(facts);
}

std::string NoDataDiagnosis(const RunFacts& facts) {
  return "No RAW data came although the camera accepted the start command. Usual causes: a "
         "firewall dropping UDP to the local ports 32100 and 32101, reverse-path filtering "
         "(net.ipv4.conf.*.rp_filter) discarding the camera's packets, an MTU below " +
         std::to_string(kRawDatagramIpBytes) +
         " bytes on the way (each RAW packet is one IP datagram of that size, and answers are "
         "small), or the wrong local interface (" +
         facts.local + " must be the address that faces the camera); " + HostcheckLine(facts) + ".";
}

std::string OutageDiagnosis(const RunFacts& facts, const RunSummary& s) {
  const std::size_t n = facts.outages.size();
  return FormatDuration(s.outage_total_ms) + " without contact with the camera in " +
         std::to_string(n) + (n == 1 ? " outage" : " outages") + " (longest " +
         FormatDuration(s.outage_max_ms) +
         "). Usual causes: a cable pulled or a switch port going down, the camera losing power "
         "or restarting, or another device taking the camera's or this host's address; " +
         HostcheckLine(facts) + ".";
}

std::vector<std::string> Diagnoses(const RunFacts& facts, const RunTotals& totals,
                                   const RunSummary& s) {
  std::vector<std::string> out;
  if (totals.images_without_stream > totals.images_lost_to_outages) {
    out.push_back(NoDataDiagnosis(facts));
  }
  if (!facts.outages.empty()) out.push_back(OutageDiagnosis(facts, s));
  if (facts.receive_buffer_bytes >= 0 &&
      facts.receive_buffer_bytes < NudpSocket::kImageReceiveBufferBytes) {
    out.push_back("The receive buffer granted (" + std::to_string(facts.receive_buffer_bytes) +
                  " bytes) is smaller than one image needs (" +
                  std::to_string(NudpSocket::kImageReceiveBufferBytes) +
                  " bytes: the kernel counts each of its " + std::to_string(RAW_PACKETS_PER_IMAGE) +
                  " datagrams as " + std::to_string(NudpSocket::kKernelBytesPerRawDatagram) +
                  " bytes); lift the kernel's cap with: sudo sysctl -w net.core.rmem_max=" +
                  std::to_string(NudpSocket::kReceiveBufferRequest));
  }
  const std::uint64_t conflicts = totals.transfers.socket.conflicts;
  if (conflicts > 0) {
    out.push_back(
        std::to_string(conflicts) +
        " packets came again with other data than the copy stored first; each such packet was "
        "counted as missing and fetched again from the camera. Another sender may be using the "
        "camera's address and port (NUDP has no authentication), or the camera started an image "
        "again; keep the camera on a link of its own.");
  }
  if (totals.lost_in_host > 0) {
    out.push_back(std::to_string(totals.lost_in_host) +
                  " packets are in the capture, yet the driver asked for them again: lost inside "
                  "the host, between the network card and the socket. Usual causes: a receive "
                  "buffer too small for an image, a firewall rule or reverse-path filtering "
                  "dropping some of the camera's datagrams, a full network card ring or backlog; "
                  "hostcheck's rmem_max, udp_errors, ring, backlog, nftables, iptables and "
                  "rp_filter lines tell which: " +
                  HostcheckCommand(facts) + ".");
  }
  if (totals.lost_before_host > 0) {
    out.push_back(std::to_string(totals.lost_before_host) +
                  " packets the driver needed are not in the capture: lost before the host (on "
                  "the wire, in a switch or in the camera), in " +
                  std::to_string(totals.loss_bursts) + " bursts, the largest " +
                  std::to_string(totals.largest_burst) +
                  " packets. Usual causes: a link or switch port slower than the camera's stream, "
                  "a bad cable, a busy switch; hostcheck's speed and mtu lines tell the link's "
                  "side: " +
                  HostcheckCommand(facts) + ".");
  }
  if (s.kernel_drops && *s.kernel_drops > 0) {
    out.push_back("The kernel dropped " + std::to_string(*s.kernel_drops) +
                  " UDP datagrams for a full receive buffer during the run "
                  "(RcvbufErrors in /proc/net/snmp, all sockets of the machine).");
  }
  return out;
}

double ImagesPerSecond(int images, double elapsed_ms) {
  return elapsed_ms > 0 ? static_cast<double>(images) * 1000.0 / elapsed_ms : 0;
}

std::int64_t ExpectedPackets(int images) {
  return static_cast<std::int64_t>(images) * RAW_PACKETS_PER_IMAGE;
}

double MissingShare(const RunTotals& totals) {
  const std::int64_t expected = ExpectedPackets(totals.images);
  return expected > 0 ? static_cast<double>(totals.missing_packets) / static_cast<double>(expected)
                      : 0;
}

int ExitStatus(const RunFacts& facts, const RunTotals& totals) {
  if (facts.interrupt_status != 0) return facts.interrupt_status;
  if (!facts.opened || facts.ended_by == RunEnd::kContactLost) return 3;
  // The run ended while it had no contact: given up, or out of time.
  if (!facts.outages.empty() && !facts.outages.back().over) return 3;
  if (totals.incomplete_images > totals.images_lost_to_outages || facts.failed_pictures > 0 ||
      !facts.log_failure.empty()) {
    return 1;
  }
  if (!facts.outages.empty()) return 4;
  return 0;
}

}  // namespace

const char* RunEndName(RunEnd end) {
  // In the order of RunEnd.
  static constexpr const char* kNames[] = {"running", "images",       "duration",
                                           "signal",  "contact lost", "outage"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(RunEnd::kOutage) + 1);
  const auto at = static_cast<std::size_t>(end);
  return at < std::size(kNames) ? kNames[at] : "?";
}

int MissingPackets(const ImageRecord& record) { return PacketsIn(record.missing_ranges); }

void RunTotals::Add(const ImageRecord& r) {
  ++images;
  ++(r.complete ? complete_images : incomplete_images);
  if (r.stream_packets == 0) ++images_without_stream;
  if (r.outage != 0) ++images_lost_to_outages;
  stream_packets += r.stream_packets;
  missing_packets += r.missing_packets;
  transfers.Add(r.transfer);
  saturated_samples += r.samples.saturated;
  zero_samples += r.samples.zero;
  if (r.wire) {
    lost_before_host += r.wire->lost_before_host;
    lost_in_host += r.wire->lost_in_host;
    loss_bursts += static_cast<std::int64_t>(r.wire->bursts.size());
    for (const LossBurst& b : r.wire->bursts) largest_burst = std::max(largest_burst, b.count);
  }
}

RecordList::RecordList(std::vector<std::shared_ptr<const Chunk>> full,
                       std::shared_ptr<const Chunk> open)
    : _full(std::move(full)), _open(std::move(open)) {
  for (const auto& chunk : _full) _size += chunk->size();
  if (_open) _size += _open->size();
}

const ImageRecord& RecordList::Back() const {
  if (_open && !_open->empty()) return _open->back();
  return _full.back()->back();
}

RunProgress ProgressOf(const RunTotals& totals, const RunFacts& facts, double duration_ms,
                       double elapsed_ms) {
  const int requested = facts.requested_images;
  RunProgress p;
  p.done = totals.images;
  p.requested = requested;
  p.incomplete = totals.incomplete_images;
  p.outages = static_cast<int>(facts.outages.size());
  p.saved_pictures = facts.saved_pictures;
  p.unsaved_pictures = facts.unsaved_pictures;
  p.failed_pictures = facts.failed_pictures;
  p.images_per_s = ImagesPerSecond(totals.images, elapsed_ms);
  p.missing_share = MissingShare(totals);
  p.fetched_again_packets = static_cast<std::int64_t>(totals.transfers.camera.fetched_again);
  p.elapsed_ms = elapsed_ms;
  p.remaining_ms = p.images_per_s > 0 ? (requested - p.done) * 1e3 / p.images_per_s : 0;
  if (duration_ms > 0)
    p.remaining_ms = std::min(p.remaining_ms, std::max(0.0, duration_ms - elapsed_ms));
  return p;
}

std::string FormatDuration(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

namespace {

// The size class of a loss burst in WireSummary::burst_sizes.
std::size_t BurstClass(int count) {
  if (count < 2) return 0;
  if (count < 10) return 1;
  return count < 100 ? 2 : 3;
}

WireSummary SummariseWire(const RecordList& images) {
  WireSummary w;
  std::vector<double> rates;
  std::vector<std::vector<double>> times;
  images.ForEach([&](const ImageRecord& r) {
    if (!r.wire) return;
    for (const LossBurst& b : r.wire->bursts) ++w.burst_sizes[BurstClass(b.count)];
    if (const double rate = r.wire->StreamMbitPerS(); rate > 0) rates.push_back(rate);
    if (!r.wire->longest_gaps.empty() && r.wire->longest_gaps.front().ms > w.longest_gap.ms) {
      w.longest_gap = r.wire->longest_gaps.front();
      w.longest_gap_image = r.number;
    }
    for (const CommandTime& c : r.wire->commands) {
      auto kind = std::find_if(w.answers.begin(), w.answers.end(),
                               [&c](const AnswerTimes& a) { return a.name == c.name; });
      if (kind == w.answers.end()) {
        w.answers.push_back(AnswerTimes{c.name});
        times.emplace_back();
        kind = w.answers.end() - 1;
      }
      ++kind->commands;
      if (c.answer_ms < 0) {
        ++kind->unanswered;
      } else {
        times[static_cast<std::size_t>(kind - w.answers.begin())].push_back(c.answer_ms);
      }
    }
  });
  // Retransmission requests by the images' own figures: the median image's median, the longest.
  std::vector<double> medians;
  AnswerTimes retransmissions{"retransmission"};
  images.ForEach([&](const ImageRecord& r) {
    if (!r.wire || r.wire->retransmission_answers == 0) return;
    retransmissions.commands += static_cast<int>(r.wire->retransmission_answers);
    medians.push_back(r.wire->retransmission_answer_median_ms);
    retransmissions.max_ms = std::max(retransmissions.max_ms, r.wire->retransmission_answer_max_ms);
  });
  for (std::size_t i = 0; i < w.answers.size(); ++i) {
    w.answers[i].max_ms = Max(times[i]);
    w.answers[i].median_ms = Percentile(times[i], 0.5);
  }
  if (!medians.empty()) {
    retransmissions.median_ms = Percentile(medians, 0.5);
    w.answers.push_back(retransmissions);
  }
  if (!rates.empty()) {
    w.stream_mbit_min = *std::min_element(rates.begin(), rates.end());
    w.stream_mbit_median = Percentile(rates, 0.5);
  }
  return w;
}

}  // namespace

int WorstExitStatus(const std::vector<const RunModel*>& runs, std::size_t* worst) {
  // How bad each status is: the larger, the worse.
  const auto rank = [](int status) {
    if (status >= 128) return 4;
    switch (status) {
      case 3:
        return 3;
      case 1:
        return 2;
      case 4:
        return 1;
      default:
        return 0;
    }
  };
  int status = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const int s = runs[i]->summary.exit_status;
    if (rank(s) > rank(status)) {
      status = s;
      at = i;
    }
  }
  if (worst != nullptr) *worst = at;
  return status;
}

RunModel BuildModel(RunFacts facts, RecordList images, RunTotals totals) {
  RunSummary s;
  std::vector<double> image_ms;
  std::vector<double> recovery_ms;
  image_ms.reserve(images.Size());
  images.ForEach([&](const ImageRecord& r) {
    image_ms.push_back(r.image_ms);
    if (r.missing_packets > 0) recovery_ms.push_back(r.recovery_ms);
  });
  const auto count = static_cast<double>(totals.images);
  s.image_max_ms = Max(image_ms);
  s.image_median_ms = Percentile(image_ms, 0.5);
  s.image_p99_ms = Percentile(image_ms, 0.99);
  s.recovery_max_ms = Max(recovery_ms);
  s.recovery_median_ms = Percentile(recovery_ms, 0.5);
  s.images_per_s = ImagesPerSecond(totals.images, facts.elapsed_ms);
  s.stream_expected_packets = ExpectedPackets(totals.images);
  s.missing_share = MissingShare(totals);
  if (totals.images > 0) {
    s.cpu_user_ms_per_image = facts.cpu_user_ms / count;
    s.cpu_system_ms_per_image = facts.cpu_system_ms / count;
  }
  for (const Outage& o : facts.outages) {
    s.outage_total_ms += o.duration_ms;
    s.outage_max_ms = std::max(s.outage_max_ms, o.duration_ms);
  }
  if (facts.rcvbuf_errors_before && facts.rcvbuf_errors_after) {
    s.kernel_drops = *facts.rcvbuf_errors_after - *facts.rcvbuf_errors_before;
  }
  if (!facts.capture.empty()) s.wire = SummariseWire(images);
  s.diagnoses = Diagnoses(facts, totals, s);
  s.exit_status = ExitStatus(facts, totals);
  return RunModel{std::move(facts), std::move(images), totals, std::move(s)};
}

}  // namespace fp
