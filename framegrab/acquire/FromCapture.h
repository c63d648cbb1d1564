#pragma once

#include "capture/NudpConversation.h"
#include "framegrab/model/RunModel.h"

#include <cstdint>
#include <string>

namespace fp {

// A capture read as a camera's run: what the rebuilt images and their conversation become in
// the run's model, so that every view shows a capture as it shows a camera.

// The wall-clock time of a capture's time stamp (nanoseconds since the epoch).
UtcTime UtcOfCapture(std::int64_t ns);

// The driver's counts as the capture shows the same things.
DriverCounts DriverCountsOf(const WireCounts& counts);

// The record of `image`, its times from `run_start_ns` (the conversation's first start command).
// Its picture and samples are for the writer and the analyser to give.
ImageRecord RecordOf(const CapturedImage& image, std::int64_t run_start_ns);

// A conversation's facts as its run begins: the host's and the camera's addresses, the
// identification text, the start.
RunFacts FactsOf(const Conversation& conversation, const std::string& capture_path,
                 const std::string& version);

}  // namespace fp
