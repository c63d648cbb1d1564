#include "framegrab/views/JsonView.h"

#include "framegrab/model/UtcTime.h"

#include <nlohmann/json.hpp>
#include <string_view>

namespace fp {

namespace {

using json = nlohmann::ordered_json;

json Optional(const std::optional<std::int64_t>& v) { return v ? json(*v) : json(nullptr); }

json SamplesJson(const PictureStats& p) {
  return {{"min", p.min},
          {"max", p.max},
          {"mean", p.mean},
          {"standard_deviation", p.standard_deviation},
          {"saturated_samples", p.saturated},
          {"zero_samples", p.zero},
          {"histogram_samples", p.histogram}};
}

// The driver's counts under the names they carry.
json CountsJson(const DriverCounts& counts) {
  json out = json::object();
  ForEachCount(counts, counts,
               [&out](const char* name, std::uint64_t value, std::uint64_t) { out[name] = value; });
  return out;
}

// What only a capture tells of an image.
json WireJson(const WireFigures& w) {
  json bursts = json::array();
  for (const LossBurst& b : w.bursts) {
    bursts.push_back({{"first_packet", b.first}, {"packets", b.count}, {"gap_ms", b.gap_ms}});
  }
  json gaps = json::array();
  for (const StreamGap& g : w.longest_gaps) {
    gaps.push_back({{"ms", g.ms}, {"before_packet", g.before}});
  }
  json commands = json::array();
  for (const CommandTime& c : w.commands) {
    commands.push_back({{"command", c.name},
                        {"sendings", c.sendings},
                        {"answer_ms", c.answer_ms < 0 ? json(nullptr) : json(c.answer_ms)}});
  }
  return {{"lost_before_host_packets", w.lost_before_host},
          {"lost_in_host_packets", w.lost_in_host},
          {"loss_bursts", bursts},
          {"stream_copies", w.stream_copies},
          {"stream_ms", w.stream_ms},
          {"stream_mbit_per_s", w.StreamMbitPerS()},
          {"longest_gaps", gaps},
          {"retransmission_answers", w.retransmission_answers},
          {"retransmission_answer_median_ms", w.retransmission_answer_median_ms},
          {"retransmission_answer_max_ms", w.retransmission_answer_max_ms},
          {"commands", commands}};
}

json WireSummaryJson(const RunTotals& t, const WireSummary& w) {
  json answers = json::array();
  for (const AnswerTimes& a : w.answers) {
    answers.push_back({{"command", a.name},
                       {"commands", a.commands},
                       {"unanswered", a.unanswered},
                       {"answer_median_ms", a.median_ms},
                       {"answer_max_ms", a.max_ms}});
  }
  return {{"lost_before_host_packets", t.lost_before_host},
          {"lost_in_host_packets", t.lost_in_host},
          {"loss_bursts", t.loss_bursts},
          {"largest_loss_burst_packets", t.largest_burst},
          {"loss_bursts_by_size",
           {{"1", w.burst_sizes[0]},
            {"2-9", w.burst_sizes[1]},
            {"10-99", w.burst_sizes[2]},
            {"100+", w.burst_sizes[3]}}},
          {"stream_mbit_per_s_median", w.stream_mbit_median},
          {"stream_mbit_per_s_min", w.stream_mbit_min},
          {"longest_gap_ms", w.longest_gap.ms},
          {"longest_gap_image", w.longest_gap_image},
          {"longest_gap_before_packet", w.longest_gap.before},
          {"answers", answers}};
}

// What the grabber knows of an image when it ends.
json TransferJson(const ImageRecord& r) {
  json ranges = json::array();
  for (const RawPacketRange& range : r.missing_ranges) ranges.push_back({range.first, range.last});
  return {{"image", r.number},
          {"started_utc", UtcText(r.started)},
          {"complete", r.complete},
          {"outage", r.outage == 0 ? json(nullptr) : json(r.outage)},
          {"stream_packets", r.stream_packets},
          {"missing_after_stream_packets", r.missing_packets},
          {"fetched_again_packets", r.transfer.camera.fetched_again},
          {"duplicate_packets", r.transfer.socket.duplicates},
          {"conflicting_packets", r.transfer.socket.conflicts},
          {"missing_packet_ranges", ranges},
          {"image_time_ms", r.image_ms},
          {"recovery_time_ms", r.recovery_ms},
          {"ended_at_ms", r.ended_after_ms},
          {"ended_utc", UtcText(r.ended_utc)},
          {"picture_file", r.picture.empty() ? json(nullptr) : json(r.picture)},
          {"driver", CountsJson(r.transfer)},
          {"capture", r.wire ? WireJson(*r.wire) : json(nullptr)}};
}

json OutageJson(const Outage& o) {
  return {{"outage", o.number},
          {"started_utc", UtcText(o.started)},
          {"ended_utc", o.over ? json(UtcText(o.ended)) : json(nullptr)},
          {"started_at_ms", o.started_after_ms},
          {"duration_ms", o.duration_ms},
          {"reopenings", o.attempts},
          {"lost_images", o.lost_images}};
}

json RecordJson(const ImageRecord& r) {
  json out = TransferJson(r);
  out["samples"] = SamplesJson(r.samples);
  return out;
}

json SavingStopped(const RunFacts& f) {
  if (f.saving_stopped_at == 0) return nullptr;
  return {{"image", f.saving_stopped_at},
          {"reason", f.saving_stopped_reason},
          {"unsaved_pictures", f.unsaved_after_stop_pictures}};
}

json OrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

// The histograms one line each: the indented form would give each of their 256 counts a line.
std::string JoinHistogramLines(const std::string& text) {
  static constexpr std::string_view kKey = "\"histogram_samples\": [";
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(kKey, at)) != std::string::npos;) {
    const std::size_t open = found + kKey.size();
    const std::size_t close = text.find(']', open);
    out.append(text, at, open - at);
    for (std::size_t i = open; i < close; ++i) {
      if (text[i] != ' ' && text[i] != '\n') out += text[i];
    }
    at = close;
  }
  out.append(text, at, std::string::npos);
  return out;
}

// The run as a JSON object, as RunToJson writes it.
json RunJson(const RunModel& model, std::size_t from, std::size_t count) {
  const RunFacts& f = model.facts;
  const RunTotals& t = model.totals;
  const RunSummary& s = model.summary;
  json images = json::array();
  model.images.ForRange(from, count,
                        [&images](const ImageRecord& r) { images.push_back(RecordJson(r)); });
  json outages = json::array();
  for (const Outage& o : f.outages) outages.push_back(OutageJson(o));
  json summary = {{"requested_images", f.requested_images},
                  {"complete_images", t.complete_images},
                  {"incomplete_images", t.incomplete_images},
                  {"ended_by", RunEndName(f.ended_by)},
                  {"elapsed_ms", f.elapsed_ms},
                  {"images_per_s", s.images_per_s},
                  {"image_time_median_ms", s.image_median_ms},
                  {"image_time_p99_ms", s.image_p99_ms},
                  {"image_time_max_ms", s.image_max_ms},
                  {"stream_expected_packets", s.stream_expected_packets},
                  {"stream_packets", t.stream_packets},
                  {"missing_after_stream_packets", t.missing_packets},
                  {"missing_after_stream_share", s.missing_share},
                  {"fetched_again_packets", t.transfers.camera.fetched_again},
                  {"recovery_time_median_ms", s.recovery_median_ms},
                  {"recovery_time_max_ms", s.recovery_max_ms},
                  {"duplicate_packets", t.transfers.socket.duplicates},
                  {"conflicting_packets", t.transfers.socket.conflicts},
                  {"saturated_samples", t.saturated_samples},
                  {"zero_samples", t.zero_samples},
                  {"histogram_bin_width", PictureStats::kBinWidth},
                  {"cpu_user_ms", f.cpu_user_ms},
                  {"cpu_system_ms", f.cpu_system_ms},
                  {"cpu_user_ms_per_image", s.cpu_user_ms_per_image},
                  {"cpu_system_ms_per_image", s.cpu_system_ms_per_image},
                  {"receive_buffer_bytes", f.receive_buffer_bytes},
                  {"image_bytes", RAW_IMAGE_SIZE},
                  {"image_receive_buffer_bytes", kImageReceiveBufferBytes},
                  {"kernel_rcvbuf_errors_before_packets", Optional(f.rcvbuf_errors_before)},
                  {"kernel_rcvbuf_errors_after_packets", Optional(f.rcvbuf_errors_after)},
                  {"kernel_dropped_packets", Optional(s.kernel_drops)},
                  {"saved_pictures", f.saved_pictures},
                  {"unsaved_pictures", f.unsaved_pictures},
                  {"failed_pictures", f.failed_pictures},
                  {"outages", f.outages.size()},
                  {"outage_total_ms", s.outage_total_ms},
                  {"outage_max_ms", s.outage_max_ms},
                  {"images_lost_to_outages", t.images_lost_to_outages},
                  {"picture_format", OrNull(f.picture_format)},
                  {"pictures_when_writer_behind", OrNull(f.when_behind)},
                  {"writer_wait_ms", f.writer_wait_ms},
                  {"saving_stopped", SavingStopped(f)},
                  {"log_failure", OrNull(f.log_failure)},
                  {"driver", CountsJson(f.driver)},
                  {"diagnoses", s.diagnoses},
                  {"exit_status", s.exit_status}};
  if (s.wire) summary["capture"] = WireSummaryJson(t, *s.wire);
  const json root = {{"program", "framegrab"},
                     {"version", f.version},
                     {"capture_file", OrNull(f.capture)},
                     {"started_utc", UtcText(f.started)},
                     {"local", f.local},
                     {"camera", f.camera},
                     {"camera_id", f.camera_id},
                     {"summary", summary},
                     {"outages", outages},
                     {"images", images}};
  return root;
}

}  // namespace

std::string RunToJson(const RunModel& model, std::size_t from, std::size_t count) {
  return JoinHistogramLines(RunJson(model, from, count).dump(2)) + "\n";
}

std::string StationToJson(const std::vector<const RunModel*>& models, std::size_t from,
                          std::size_t count) {
  std::size_t worst = 0;
  const int status = WorstExitStatus(models, &worst);
  int running = 0;
  json cameras = json::array();
  for (const RunModel* model : models) {
    running += model->Running() ? 1 : 0;
    cameras.push_back(RunJson(*model, from, count));
  }
  const json station = {{"cameras", models.size()},
                        {"running", running},
                        {"exit_status", status},
                        {"exit_status_camera", status == 0 ? json(nullptr) : json(worst + 1)}};
  const json root = {{"program", "framegrab"},
                     {"version", models.empty() ? "" : models.front()->facts.version},
                     {"station", station},
                     {"cameras", cameras}};
  return JoinHistogramLines(root.dump(2)) + "\n";
}

std::string RunStartLine(const RunFacts& facts, const std::string& command_line) {
  const json line = {{"record", "run"},
                     {"program", "framegrab"},
                     {"version", facts.version},
                     {"capture_file", OrNull(facts.capture)},
                     {"started_utc", UtcText(facts.started)},
                     {"local", facts.local},
                     {"camera", facts.camera},
                     {"camera_id", facts.camera_id},
                     {"command_line", command_line}};
  return line.dump() + "\n";
}

std::string ImageLine(const ImageRecord& record, const std::string& camera) {
  json line = {{"record", "image"}, {"camera", camera}};
  line.update(TransferJson(record));
  return line.dump() + "\n";
}

std::string OutageLine(const Outage& outage, const std::string& camera) {
  json line = {{"record", "outage"}, {"camera", camera}};
  line.update(OutageJson(outage));
  return line.dump() + "\n";
}

std::string RunEndLine(const RunModel& model) {
  const json line = {{"record", "end"},
                     {"camera", model.facts.camera},
                     {"ended_by", RunEndName(model.facts.ended_by)},
                     {"images", model.totals.images},
                     {"complete_images", model.totals.complete_images},
                     {"outages", model.facts.outages.size()},
                     {"saved_pictures", model.facts.saved_pictures},
                     {"saving_stopped", SavingStopped(model.facts)},
                     {"exit_status", model.summary.exit_status}};
  return line.dump() + "\n";
}

}  // namespace fp
