#include "app/AcquisitionSequence.h"

#include "camera/CEthCamera.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace fp {

namespace {

// Packet 251 is asked for a second time whatever became of it.
constexpr unsigned kCheckPacket = 251;
constexpr std::uint32_t kCheckOffset = kCheckPacket * RAW_PACKET_DATA_LENGTH;  // 0x3EC00
constexpr std::size_t kIdBufferLength = 32;

// Cameras that could not be opened stay alive to the end of the process.
void KeepUntilExit(std::unique_ptr<CEthCamera> camera) {
  static auto* kept = new std::vector<std::unique_ptr<CEthCamera>>();
  kept->push_back(std::move(camera));
}

}  // namespace

int RunAcquisitionSequence(const char* local, const char* remote, const SequenceSetup& setup) {
  std::FILE* out = setup.out;
  std::unique_ptr<CEthCamera> camera;
  try {
    camera = std::make_unique<CEthCamera>(local);
  } catch (const char* text) {
    std::fprintf(out, "%s\n", text);
    return 0;
  }
  if (setup.on_camera) setup.on_camera(camera.get());
  const std::int32_t granted = camera->Nudp().ReceiveBufferBytes();
  if (granted >= 0 && granted < NudpSocket::kImageReceiveBufferBytes) {
    // The request is what an unprivileged socket gets once the cap allows it (the kernel then
    // grants twice as much).
    std::fprintf(setup.err,
                 "frameprobe: the camera socket's receive buffer is %d bytes, smaller than one "
                 "image needs (%d bytes: the kernel counts each of its %d datagrams as %d "
                 "bytes): packets that come while the driver is busy are lost.\n"
                 "frameprobe: to raise the limit: sudo sysctl -w net.core.rmem_max=%d\n",
                 static_cast<int>(granted), static_cast<int>(NudpSocket::kImageReceiveBufferBytes),
                 RAW_PACKETS_PER_IMAGE, static_cast<int>(NudpSocket::kKernelBytesPerRawDatagram),
                 static_cast<int>(NudpSocket::kReceiveBufferRequest));
  }
  if (!camera->OpenLog(setup.log_file)) std::fprintf(out, "Log file not created.\n\n");
  if (!camera->OpenErrLog(setup.err_log_file)) std::fprintf(out, "Error log file not created.\n\n");
  if (!camera->Open(remote)) {
    std::fprintf(out, "Not opened.\n");
    KeepUntilExit(std::move(camera));
    return 0;
  }

  if (camera->SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND)) {
    std::fprintf(out, "Binning: turn ON\n\n");
  }

  // All zeros before the first packet, without a pass over it here: a block this large comes
  // from fresh pages, zero already, and its pages are first touched as the packets arrive.
  const std::unique_ptr<std::uint8_t, decltype(&std::free)> image(
      static_cast<std::uint8_t*>(std::calloc(RAW_IMAGE_SIZE, 1)), &std::free);
  if (image == nullptr) throw std::bad_alloc();
  camera->SetRawDataBuffer(image.get());
  if (camera->SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND)) {
    std::fprintf(out, "Data taking started.\n\n");
  }
  if (camera->WaitForRawData()) {
    std::fprintf(out, "RAW data transmision done, no missing packets.\n\n");
  } else {
    std::fprintf(out, "%d packets received.\n", camera->Nudp().RawCount());
    if (camera->ReadMissing(image.get())) {
      std::fprintf(out, "Missing packets retransmitted.\n\n");
    } else {
      std::fprintf(out, "Still there are some missing packets....\n\n");
    }
  }

  // An answer without data leaves the count at 0.
  std::uint32_t length = 0;
  if (camera->SendCmd(RawNumberField(kCheckPacket), NUDP_TOP_RETRANSMIT, nullptr,
                      image.get() + kCheckOffset, &length, RAW_PACKET_DATA_LENGTH)) {
    std::fprintf(out,
                 "RAW packet #%u (length=%d) retransmitted and stored in its right place in the "
                 "image.\n\n",
                 kCheckPacket, static_cast<int>(length));
  }

  std::uint32_t number = 0;
  if (camera->Nudp().GetResponse(&number, nullptr, nullptr)) {
    std::fprintf(out,
                 "Get the number field from the last camera response again.\nIt is: %.8X and it "
                 "should be the retransmitted data offset (16-bit words).\n\n",
                 number);
  }

  // The text ends at its zero byte, or with the data received, or with the buffer, whichever
  // comes first.
  std::uint8_t id[kIdBufferLength] = {};
  length = 0;
  if (camera->SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND, nullptr, id, &length, sizeof id)) {
    const std::string_view text = NudpIdText(id, length < sizeof id ? length : sizeof id);
    std::fprintf(out, "Camera ID received (length=%d). String is: %.*s\n\n",
                 static_cast<int>(length), static_cast<int>(text.size()), text.data());
  }

  camera->Close();
  if (setup.on_camera) setup.on_camera(nullptr);
  camera.reset();
  if (setup.on_image) setup.on_image(image.get());
  return 0;
}

}  // namespace fp
