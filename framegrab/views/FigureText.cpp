#include "framegrab/views/FigureText.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace fp {

namespace {

long long LL(std::int64_t v) { return static_cast<long long>(v); }
unsigned long long ULL(std::uint64_t v) { return static_cast<unsigned long long>(v); }

std::string OutagesText(const RunModel& model) {
  const std::vector<Outage>& outages = model.facts.outages;
  if (outages.empty()) return "none";
  const Outage& last = outages.back();
  const int cut = model.totals.images_lost_to_outages;
  std::string text = FormatText(
      "%zu, %s in all, longest %s, %d %s cut short; last ", outages.size(),
      FormatDuration(model.summary.outage_total_ms).c_str(),
      FormatDuration(model.summary.outage_max_ms).c_str(), cut, cut == 1 ? "image" : "images");
  if (last.over) {
    return text + "from " + UtcText(last.started) + " to " + UtcText(last.ended);
  }
  return text + "since " + UtcText(last.started) + ", " + FormatDuration(last.duration_ms) +
         " so far";
}

// What the incomplete images lack: "image 1 lacks 13 packets (100-102, 4000-4009), zeros in
// image-000001-incomplete.png", the first `most` images, then how many more.
std::string DescribeIncomplete(const RunModel& model, std::size_t most = 5) {
  std::string text;
  std::size_t shown = 0;
  std::size_t more = 0;
  model.images.ForEach([&](const ImageRecord& r) {
    if (r.complete) return;
    if (shown == most) {
      ++more;
      return;
    }
    std::string ranges;
    for (const RawPacketRange& range : r.missing_ranges) {
      ranges += (ranges.empty() ? "" : ", ") + std::to_string(range.first);
      if (range.last != range.first) ranges += "-" + std::to_string(range.last);
    }
    text += (shown == 0 ? "" : "; ") + std::string("image ") + std::to_string(r.number) +
            " lacks " + std::to_string(MissingPackets(r)) + " packets (" + ranges + ")";
    if (!r.picture.empty()) text += ", zeros in " + r.picture;
    ++shown;
  });
  if (more > 0) text += "; and " + std::to_string(more) + " more";
  return text;
}

// The counts of one of the driver's lists (its socket's or its own) with their values.
template <typename Counts>
std::vector<ShownCount> Shown(const Counts& counts) {
  std::vector<ShownCount> shown;
  ForEachCountInfo(counts, counts,
                   [&shown](const CountInfo& info, std::uint64_t value, std::uint64_t) {
                     shown.push_back({info, value});
                   });
  return shown;
}

// The figures only a capture tells, after the packets' own.
void AddWireLines(const RunModel& model, std::vector<FigureLine>& lines) {
  const RunTotals& t = model.totals;
  const WireSummary& w = *model.summary.wire;
  lines.push_back({"where-lost", "where lost",
                   static_cast<double>(t.lost_before_host + t.lost_in_host),
                   FormatText("%lld packets before the host (not in the capture), %lld inside the "
                              "host (in the capture, asked for again)",
                              LL(t.lost_before_host), LL(t.lost_in_host))});
  lines.push_back(
      {"loss-bursts", "loss bursts", static_cast<double>(t.loss_bursts),
       t.loss_bursts == 0
           ? std::string("none")
           : FormatText("%lld, the largest %d packets; of 1 packet %lld, 2-9 %lld, 10-99 %lld, "
                        "100 or more %lld",
                        LL(t.loss_bursts), t.largest_burst, LL(w.burst_sizes[0]),
                        LL(w.burst_sizes[1]), LL(w.burst_sizes[2]), LL(w.burst_sizes[3]))});
  std::string stream = FormatText("median %.1f Mbit/s, slowest %.1f Mbit/s", w.stream_mbit_median,
                                  w.stream_mbit_min);
  if (w.longest_gap_image != 0) {
    stream += FormatText("; longest gap %.2f ms (image %d, before packet %d)", w.longest_gap.ms,
                         w.longest_gap_image, w.longest_gap.before);
  }
  lines.push_back({"stream", "stream", w.stream_mbit_median, stream});
  std::string answers;
  for (const AnswerTimes& a : w.answers) {
    if (!answers.empty()) answers += "; ";
    answers += FormatText("%s median %.2f ms, max %.2f ms", a.name.c_str(), a.median_ms, a.max_ms);
    if (a.unanswered > 0) answers += FormatText(" (%d of %d unanswered)", a.unanswered, a.commands);
  }
  lines.push_back({"answers", "answer times", 0, answers.empty() ? "none" : answers});
}

// What the processor, the receive buffer and the kernel did during a camera's run.
void AddHostLines(const RunModel& model, std::vector<FigureLine>& lines) {
  const RunFacts& f = model.facts;
  const RunSummary& s = model.summary;
  lines.push_back({"cpu", "processor time per image",
                   s.cpu_user_ms_per_image + s.cpu_system_ms_per_image,
                   FormatText("user %.1f ms, system %.1f ms", s.cpu_user_ms_per_image,
                              s.cpu_system_ms_per_image)});
  lines.push_back(
      {"receive-buffer", "receive buffer", static_cast<double>(f.receive_buffer_bytes),
       f.receive_buffer_bytes >= 0
           ? FormatText("%lld bytes granted, one image needs %d of it", LL(f.receive_buffer_bytes),
                        kImageReceiveBufferBytes)
           : FormatText("unknown, one image needs %d bytes of it", kImageReceiveBufferBytes)});
  lines.push_back({"kernel-drops", "kernel UDP receive-buffer drops",
                   s.kernel_drops ? static_cast<double>(*s.kernel_drops) : -1,
                   s.kernel_drops ? FormatText("%lld (RcvbufErrors %lld before, %lld after)",
                                               LL(*s.kernel_drops), LL(*f.rcvbuf_errors_before),
                                               LL(*f.rcvbuf_errors_after))
                                  : std::string("unknown (/proc/net/snmp not readable)")});
}

}  // namespace

CountsWords CountsText(const std::vector<ShownCount>& counts) {
  // An item or a tail, and the parts that follow it.
  struct Group {
    const ShownCount* count;
    std::vector<const ShownCount*> parts;
    bool tail;
  };
  const auto words = [](const ShownCount& c) {
    return std::to_string(c.value) + " " + c.info.label;
  };
  const ShownCount* lead = nullptr;
  std::vector<Group> groups;
  for (const ShownCount& c : counts) {
    switch (c.info.place) {
      case CountPlace::kLead:
        lead = &c;
        break;
      case CountPlace::kPart:
        if (!groups.empty()) {
          groups.back().parts.push_back(&c);
          break;
        }
        [[fallthrough]];  // nothing before it to be part of: an item of its own
      case CountPlace::kItem:
      case CountPlace::kTail:
        groups.push_back({&c, {}, c.info.place == CountPlace::kTail});
        break;
      case CountPlace::kApart:
        break;
    }
  }
  std::stable_partition(groups.begin(), groups.end(), [](const Group& g) { return !g.tail; });
  CountsWords out;
  if (lead != nullptr) {
    out.text = words(*lead) + ": ";
    out.main = lead->value;
  } else if (!groups.empty()) {
    out.main = groups.front().count->value;
  }
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) out.text += ", ";
    out.text += words(*groups[i].count);
    for (std::size_t p = 0; p < groups[i].parts.size(); ++p) {
      out.text += (p == 0 ? " (" : ", ") + words(*groups[i].parts[p]);
    }
    if (!groups[i].parts.empty()) out.text += ")";
  }
  return out;
}

std::string FormatText(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::vector<FigureLine> FigureLines(const RunModel& model) {
  const RunFacts& f = model.facts;
  const RunTotals& t = model.totals;
  const RunSummary& s = model.summary;
  std::vector<FigureLine> lines;
  const std::string ended =
      model.Running() ? std::string("running") : std::string("ended by ") + RunEndName(f.ended_by);
  lines.push_back({"images", "images", static_cast<double>(t.images),
                   FormatText("%d complete, %d incomplete, of %d asked for (%s)", t.complete_images,
                              t.incomplete_images, f.requested_images, ended.c_str())});
  lines.push_back({"started", "started", 0,
                   UtcText(f.started) +
                       (f.camera_id.empty() ? std::string() : ", camera \"" + f.camera_id + "\"")});
  if (!f.capture.empty()) lines.push_back({"capture", "read from", 0, f.capture});
  lines.push_back(
      {"outages", "outages", static_cast<double>(f.outages.size()), OutagesText(model)});
  lines.push_back({"image-time", "image time", s.image_median_ms,
                   FormatText("median %.1f ms, p99 %.1f ms, max %.1f ms", s.image_median_ms,
                              s.image_p99_ms, s.image_max_ms)});
  lines.push_back(
      {"rate", "images per second", s.images_per_s, FormatText("%.2f", s.images_per_s)});
  lines.push_back({"loss", "missing after the stream", static_cast<double>(t.missing_packets),
                   FormatText("%lld packets (%.3f%% of %lld)", LL(t.missing_packets),
                              s.missing_share * 100.0, LL(s.stream_expected_packets))});
  const std::uint64_t fetched = t.transfers.camera.fetched_again;
  lines.push_back({"fetched", "fetched again", static_cast<double>(fetched),
                   FormatText("%llu packets; recovery median %.1f ms, max %.1f ms", ULL(fetched),
                              s.recovery_median_ms, s.recovery_max_ms)});
  if (t.incomplete_images > 0) {
    lines.push_back({"incomplete", "incomplete images", static_cast<double>(t.incomplete_images),
                     DescribeIncomplete(model)});
  }
  const std::uint64_t duplicates = t.transfers.socket.duplicates;
  lines.push_back({"duplicates", "duplicates", static_cast<double>(duplicates),
                   FormatText("%llu packets", ULL(duplicates))});
  const std::uint64_t conflicts = t.transfers.socket.conflicts;
  if (conflicts > 0) {
    lines.push_back({"conflicts", "conflicting copies", static_cast<double>(conflicts),
                     FormatText("%llu packets came again with other data", ULL(conflicts))});
  }
  if (s.wire) AddWireLines(model, lines);
  const CountsWords in = CountsText(Shown(f.driver.socket));
  lines.push_back({"received", "received since open", static_cast<double>(in.main), in.text});
  const CountsWords out = CountsText(Shown(f.driver.camera));
  lines.push_back({"commands", "commands since open", static_cast<double>(out.main), out.text});
  if (const ImageRecord* latest = model.Latest()) {
    const PictureStats& p = latest->samples;
    lines.push_back(
        {"samples", "samples", p.mean,
         FormatText("image %d: min %u, max %u, mean %.1f, standard deviation %.1f; "
                    "in all images %lld saturated (65535) and %lld zero",
                    latest->number, unsigned{p.min}, unsigned{p.max}, p.mean, p.standard_deviation,
                    LL(t.saturated_samples), LL(t.zero_samples))});
  }
  // What this host's processor, buffers and kernel did: not a capture's to tell.
  if (f.capture.empty()) AddHostLines(model, lines);
  if (!f.picture_format.empty()) {
    std::string text =
        FormatText("%d saved as %s, %d left unsaved (writer behind), %d failed; ", f.saved_pictures,
                   f.picture_format.c_str(), f.unsaved_pictures, f.failed_pictures);
    text += f.when_behind == "wait"
                ? FormatText("every image kept (acquisition waited %.1f s for the writer)",
                             f.writer_wait_ms / 1e3)
                : std::string("images skipped while the writer was behind");
    if (f.saving_stopped_at != 0) {
      text += FormatText("; saving stopped at image %d (%s), %d not saved after it",
                         f.saving_stopped_at, f.saving_stopped_reason.c_str(),
                         f.unsaved_after_stop_pictures);
    }
    lines.push_back({"pictures", "pictures", static_cast<double>(f.saved_pictures), text});
  }
  if (!f.log_failure.empty()) {
    lines.push_back({"logs", "driver logs", 1, f.log_failure});
  }
  return lines;
}

namespace {

// What an exit status says of a run, in a few words.
const char* StatusWords(int status) {
  if (status >= 128) return "interrupted";
  switch (status) {
    case 0:
      return "every image complete";
    case 1:
      return "images incomplete or outputs not written";
    case 3:
      return "no contact";
    case 4:
      return "outages ridden out";
    default:
      return "failed";
  }
}

}  // namespace

std::string StationVerdict(const std::vector<const RunModel*>& models) {
  std::size_t worst = 0;
  const int status = WorstExitStatus(models, &worst);
  std::string text = std::to_string(models.size()) + " cameras: ";
  for (std::size_t i = 0; i < models.size(); ++i) {
    const int s = models[i]->summary.exit_status;
    text += (i == 0 ? "" : ", ") + models[i]->facts.camera + " exit status " + std::to_string(s) +
            " (" + StatusWords(s) + ")";
  }
  text += "; the station's exit status " + std::to_string(status);
  if (status != 0 && !models.empty()) text += ", set by " + models[worst]->facts.camera;
  return text;
}

}  // namespace fp
