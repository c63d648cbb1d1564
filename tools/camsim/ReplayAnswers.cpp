#include "tools/camsim/ReplayAnswers.h"

#include "nudp/NudpProtocol.h"

#include <algorithm>

namespace fp {

ReplayAnswers::ReplayAnswers(const std::vector<CapturedCommand>& commands) : _parts(1) {
  for (const CapturedCommand& command : commands) {
    if (command.top == NUDP_TOP_RETRANSMIT) continue;
    if (IsStartRawCommand(command.number)) _parts.emplace_back();
    const Key key{command.top, command.number};
    _seen.insert(key);
    if (!command.answer.empty()) _parts.back()[key].push_back(command.answer);
  }
  // Pointers are taken once every part is filled: the vectors no longer move.
  for (const Answers& part : _parts) {
    for (const auto& [key, answers] : part) _first.try_emplace(key, &answers.front());
  }
}

void ReplayAnswers::StartImage(int image) {
  _part = image >= 0 && static_cast<std::size_t>(image) < _parts.size() ? image : 0;
  _given.clear();
}

ReplayAnswers::Found ReplayAnswers::Next(std::uint8_t top, std::uint32_t number) {
  const Key key{top, number};
  const Answers& part = _parts[static_cast<std::size_t>(_part)];
  const auto here = part.find(key);
  if (here != part.end()) {
    std::size_t& given = _given[key];
    const std::size_t at = std::min(given, here->second.size() - 1);
    ++given;
    return Found{Source::kCapture, &here->second[at]};
  }
  const auto first = _first.find(key);
  if (first != _first.end()) return Found{Source::kCapture, first->second};
  if (_seen.count(key) != 0 && !AlwaysAnswered(top, number)) return Found{Source::kNone, nullptr};
  return Found{Source::kCamsim, nullptr};
}

bool ReplayAnswers::AlwaysAnswered(std::uint8_t top, std::uint32_t number) {
  if (top == NUDP_TOP_RETRANSMIT) return false;
  if (number == NUDP_CMD_BINNING_ON || IsStartRawCommand(number)) return true;
  const std::uint32_t code = number & 0xFF;
  return code == NUDP_CMD_TRANSFER_STATUS || code == NUDP_CMD_IDENTIFY || code == NUDP_CMD_REFRESH;
}

}  // namespace fp
