// The simulator's parsing on arbitrary input: the check that decides whether a datagram is a
// command it acts on, its command line (the input split at zero bytes into arguments), whose
// accepted options must be within their ranges, and the answers it would give to a datagram it
// accepts, under the default options and under those the input parses to.

#include "tools/camsim/CameraAnswers.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/SimulatorOptions.h"

#include "fuzz/ArgumentWords.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The answers to `command` hold at most a packet's data, and an undamaged header is the one the
// driver expects.
void CheckAnswers(const fp::SimulatorOptions& options, const fp::NudpHeader& command) {
  fp::CameraAnswers answers(options);
  fp::CameraAnswers::DataBuffer data;
  for (const bool streaming : {false, true}) {
    if (answers.Data(command, /*image_number=*/1, streaming, data) > data.size()) __builtin_trap();
  }
  bool damaged = false;
  const fp::NudpHeader header = answers.Header(command, damaged);
  if (!damaged && header != fp::BuildExpectedResponse(command)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> datagram(data, data + size);
  const char* reject = fp::CommandRejection(datagram.data(), datagram.size());
  if (reject == nullptr && (size < fp::NUDP_HEADER_LENGTH || size > fp::NUDP_MAX_PACKET_LENGTH)) {
    __builtin_trap();
  }
  fp::NudpHeader command{};
  const bool accepted = reject == nullptr;
  if (accepted) {
    std::copy_n(data, fp::NUDP_HEADER_LENGTH, command.begin());
    CheckAnswers(fp::SimulatorOptions{}, command);
  }

  const std::vector<std::string> args = fp::fuzz::ArgumentWords(data, size);
  fp::SimulatorOptions options;
  std::string error;
  if (fp::ParseSimulatorArgs(args, options, error) != fp::ParseResult::kRun) return 0;
  if (options.loss < 0 || options.loss > 1 || options.duplicate < 0 || options.duplicate > 1 ||
      options.id_text.size() > fp::kMaxIdTextLength ||
      options.status_length > fp::NUDP_MAX_DATA_LENGTH) {
    __builtin_trap();
  }
  for (const int index : options.drop) {
    if (index < 0 || index > fp::RAW_LAST_PACKET_INDEX) __builtin_trap();
  }
  if (accepted) CheckAnswers(options, command);
  return 0;
}
