#include "tools/camsim/CaptureReplay.h"

#include "capture/CaptureFile.h"

#include <arpa/inet.h>
#include <map>

namespace fp {

namespace {

// "10.0.0.2, 10.0.0.3".
std::string CameraList(const std::map<WireEnd, Conversation>& conversations) {
  std::string list;
  for (const auto& [camera, conversation] : conversations) {
    if (!list.empty()) list += ", ";
    list += Ipv4Text(camera.ip);
  }
  return list;
}

}  // namespace

bool CaptureReplay::Load(const std::string& path, const std::string& camera, std::string& error) {
  _images.clear();
  _commands.clear();
  std::uint32_t chosen = 0;
  if (!camera.empty()) {
    in_addr address{};
    if (inet_pton(AF_INET, camera.c_str(), &address) != 1) {
      error = "camera address '" + camera + "' is no dotted quad";
      return false;
    }
    chosen = ntohl(address.s_addr);
  }
  CaptureFile file;
  if (!file.Open(path, error)) return false;

  // Only one camera's images are kept: the chosen one's, or without a choice the first whose
  // image ends (a capture of several is refused then anyway). Beyond kMaxImages they are
  // counted and let go, so that memory stays bounded whatever the file holds.
  std::uint32_t kept = chosen;
  ConversationBuilder builder(
      [&](const Conversation& c, CapturedImage&& image) {
        if (kept == 0) kept = c.camera.ip;
        if (c.camera.ip != kept || Images() >= kMaxImages) return;
        _images.push_back(std::move(image));
      },
      {}, /*keep_stream=*/true);
  CapturedDatagram d;
  for (;;) {
    const CaptureFile::Step step = file.Next(d);
    if (step == CaptureFile::Step::kEnd) break;
    if (step == CaptureFile::Step::kDamaged) {
      error = DamagedCapture(file);
      return false;
    }
    builder.Add(d);
  }
  builder.Finish();

  const std::map<WireEnd, Conversation>& conversations = builder.Conversations();
  error = UnusableCapture(file, conversations.size());
  if (!error.empty()) return false;
  if (chosen == 0 && conversations.size() > 1) {
    error = "it holds " + std::to_string(conversations.size()) + " cameras (" +
            CameraList(conversations) + "): choose one with --replay-camera";
    return false;
  }
  const auto found =
      chosen == 0 ? conversations.begin() : conversations.find(WireEnd{chosen, NUDP_CAMERA_PORT});
  if (found == conversations.end()) {
    error = "no traffic of camera " + camera + " in it; it holds " + CameraList(conversations);
    return false;
  }
  const Conversation& conversation = found->second;
  _camera = Ipv4Text(conversation.camera.ip);
  if (conversation.images == 0) {
    error = "no image of camera " + _camera + " in it (no 0x08 start command)";
    return false;
  }
  if (conversation.images > kMaxImages) {
    error = std::to_string(conversation.images) + " images of camera " + _camera +
            " in it, more than camsim keeps in memory (" + std::to_string(kMaxImages) +
            ", about 8.5 MB each)";
    _images.clear();
    return false;
  }
  _commands = conversation.commands;
  return true;
}

}  // namespace fp
