#pragma once

#include "nudp/NudpProtocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fp {

// How one image arrived.
struct ImageRecord {
  int number = 0;                 // 1, 2, ... in the order taken
  bool complete = false;          // every packet in the image in the end
  int stream_packets = 0;         // stored from the stream, before any recovery
  int missing_packets = 0;        // missing when the stream ended
  int fetched_again_packets = 0;  // brought by recovery (0 when recovery failed)
  int duplicate_packets = 0;      // datagrams beyond the packets stored and the answers expected
  // Copies of a stored packet that came with other data: another sender using the camera's
  // address, or a camera that started its image again. Each put its packet back to missing.
  int conflicting_packets = 0;
  // Packets the image still lacks in the end (none when complete); zero in picture and preview.
  std::vector<RawPacketRange> missing_ranges;
  double image_ms = 0;     // from the start command to a whole image, recovery included
  double recovery_ms = 0;  // recovery alone; 0 when nothing was missing
  std::string picture;     // file name written, empty when none
};

// Everything a run found, in the units its field names carry. Built by the grabber, summarised
// by Summarize(), shown by FormatSummary() and ReportToJson().
struct GrabReport {
  std::string version;
  std::string local;
  std::string camera;
  int requested_images = 0;
  std::vector<ImageRecord> images;

  // Why the run ended: "images", "duration", "signal" or "contact lost".
  std::string ended_by = "images";
  bool opened = false;     // the camera answered its first command
  double elapsed_ms = 0;   // first start command to the end of the last image
  double cpu_user_ms = 0;  // the whole process, during the run
  double cpu_system_ms = 0;
  std::int64_t receive_buffer_bytes = -1;            // granted to the camera socket; -1 unknown
  std::optional<std::int64_t> rcvbuf_errors_before;  // the kernel's UDP RcvbufErrors
  std::optional<std::int64_t> rcvbuf_errors_after;
  int saved_pictures = 0;
  int unsaved_pictures = 0;  // left out because the writer was behind
  int failed_pictures = 0;   // could not be written

  // Filled by Summarize().
  struct Summary {
    int complete_images = 0;
    int incomplete_images = 0;
    double image_median_ms = 0;
    double image_p99_ms = 0;
    double image_max_ms = 0;
    double images_per_s = 0;
    std::int64_t stream_expected_packets = 0;  // images x 8248
    std::int64_t missing_packets = 0;
    double missing_share = 0;  // of stream_expected_packets, 0 to 1
    std::int64_t fetched_again_packets = 0;
    double recovery_median_ms = 0;  // over images that needed recovery
    double recovery_max_ms = 0;
    std::int64_t duplicate_packets = 0;
    std::int64_t conflicting_packets = 0;
    double cpu_user_ms_per_image = 0;
    double cpu_system_ms_per_image = 0;
    std::optional<std::int64_t> kernel_drops;  // RcvbufErrors after minus before
    std::vector<std::string> diagnoses;
    int exit_status = 0;
  } summary;
};

// The packets an image lacks in the end.
int MissingPackets(const ImageRecord& record);

// What the incomplete images lack, for a person: "image 1 lacks 13 packets (100-102,
// 4000-4009), zeros in image-0001-incomplete.png", the first `most` images, then how many more.
std::string DescribeIncomplete(const GrabReport& report, std::size_t most = 5);

// Fills report.summary from the records and counters, the diagnoses and the exit status
// included. `interrupt_status` is 130 or 143 when a signal ended the run, else 0.
void Summarize(GrabReport& report, int interrupt_status);

// The one rendering of a report as JSON text (records and summary), ending with a newline.
std::string ReportToJson(const GrabReport& report);

// The summary as lines for a person, the diagnoses last.
std::string FormatSummary(const GrabReport& report);

}  // namespace fp
