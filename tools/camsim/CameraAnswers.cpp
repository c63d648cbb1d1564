#include "tools/camsim/CameraAnswers.h"

#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/SimulatorOptions.h"

#include <algorithm>
#include <cstring>

namespace fp {

namespace {

// Identification data bytes 0 to 9: a serial number (4 bytes, least significant first) and a
// firmware version (major, minor); the rest is zero.
constexpr std::uint32_t kSerialNumber = 0x00C0FFEE;
constexpr std::uint8_t kFirmwareMajor = 1;
constexpr std::uint8_t kFirmwareMinor = 0;

// True when an entry of `entries` not `used` up yet matches `command`; it is then used up.
bool UseUpMatch(const std::vector<CommandMatch>& entries, std::vector<bool>& used,
                const NudpHeader& command) {
  const std::uint8_t top = command[2] & NUDP_TOP_MASK;
  const std::uint32_t number = ReadNumberField(command.data());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!used[i] && entries[i].Matches(top, number)) {
      used[i] = true;
      return true;
    }
  }
  return false;
}

}  // namespace

CameraAnswers::CameraAnswers(const SimulatorOptions& options)
    : _options(options),
      _damage_used(options.damage.size(), false),
      _lose_used(options.lose_answer.size(), false) {}

std::size_t CameraAnswers::Data(const NudpHeader& command, std::uint32_t image_number,
                                bool streaming, DataBuffer& out) const {
  const std::uint8_t top = command[2] & NUDP_TOP_MASK;
  const std::uint32_t number = ReadNumberField(command.data());
  if (top == NUDP_TOP_RETRANSMIT) {
    const std::uint64_t offset = RawByteOffset(number);
    const std::size_t length = offset < RAW_IMAGE_SIZE
                                   ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                         RAW_PACKET_DATA_LENGTH, RAW_IMAGE_SIZE - offset))
                                   : 0;
    FillImageBytes(image_number, offset, out.data(), length, _options.pattern);
    return length;
  }
  switch (number & 0xFF) {
    case NUDP_CMD_TRANSFER_STATUS: {
      // Finished whenever no stream is running, also before the first one.
      const bool finished = !streaming && !_options.unfinished;
      out.fill(0xA5);
      out[0] = 0;
      out[NUDP_STATUS_BYTE] = _options.status_byte >= 0
                                  ? static_cast<std::uint8_t>(_options.status_byte)
                                  : (finished ? NUDP_STATUS_FINISHED : std::uint8_t{0});
      out[2] = 0;
      out[3] = 0;
      return std::min(_options.status_length, out.size());
    }
    case NUDP_CMD_IDENTIFY: {
      std::fill_n(out.begin(), kIdDataLength, std::uint8_t{0});
      for (std::size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>((kSerialNumber >> (8 * i)) & 0xFF);
      }
      out[4] = kFirmwareMajor;
      out[5] = kFirmwareMinor;
      const std::size_t text_length = std::min(_options.id_text.size(), kMaxIdTextLength);
      std::memcpy(out.data() + NUDP_ID_TEXT_OFFSET, _options.id_text.data(), text_length);
      return kIdDataLength;
    }
    default:
      return 0;
  }
}

NudpHeader CameraAnswers::Header(const NudpHeader& command, bool& damaged) {
  NudpHeader response = BuildExpectedResponse(command);
  damaged = UseUpMatch(_options.damage, _damage_used, command);
  if (damaged) response[3] = static_cast<std::uint8_t>(response[3] ^ 0x5A);
  return response;
}

bool CameraAnswers::LoseAnswer(const NudpHeader& command) {
  return UseUpMatch(_options.lose_answer, _lose_used, command);
}

}  // namespace fp
