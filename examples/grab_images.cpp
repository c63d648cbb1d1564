// Takes a few images from a NUDP camera with libframeprobe and says how each arrived, with what
// the driver counted.
//
//   grab_images LOCAL_IP CAMERA_IP [IMAGES]
//
// Exit status: 0 when every image came whole, 1 when one stayed incomplete, 2 for a usage
// error, 3 when the camera could not be reached or stopped answering.

#include <cstdio>
#include <cstdlib>
#include <frameprobe/frameprobe.h>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: grab_images LOCAL_IP CAMERA_IP [IMAGES]\n", stderr);
    return 2;
  }
  const int images = argc == 4 ? std::atoi(argv[3]) : 1;
  try {
    frameprobe::Camera camera(argv[1], argv[2]);
    std::printf("camera %s: %s (libframeprobe %s)\n", camera.CameraAddress().c_str(),
                camera.Identify().c_str(), frameprobe::Version());
    frameprobe::Image image;
    int incomplete = 0;
    for (int i = 1; i <= images; ++i) {
      const frameprobe::GrabInfo info = camera.Grab(image);
      double sum = 0;
      for (int row = 0; row < frameprobe::kImageHeight; ++row) {
        for (int column = 0; column < frameprobe::kImageWidth; ++column) {
          sum += image.Sample(row, column);
        }
      }
      std::printf(
          "image %d: %s, %d packets from the stream, %d lost, %d fetched again, "
          "mean sample %.1f\n",
          i, info.complete ? "complete" : "incomplete", info.stream_packets, info.LostPackets(),
          info.fetched_again_packets, sum / static_cast<double>(frameprobe::kImageSamples));
      for (const frameprobe::PacketRange& r : info.lost) {
        std::printf("  lost packets %d to %d\n", r.begin, r.end - 1);
      }
      const frameprobe::Counters& counted = info.counters;
      std::printf("  counted: %llu RAW packets, %llu duplicates, %llu retransmission requests\n",
                  static_cast<unsigned long long>(counted.raw_packets),
                  static_cast<unsigned long long>(counted.duplicate_packets),
                  static_cast<unsigned long long>(counted.retransmission_requests));
      if (!info.complete) ++incomplete;
    }
    const frameprobe::Counters totals = camera.Totals();
    std::printf("totals: %llu commands sent, %llu repeated, %llu timed out\n",
                static_cast<unsigned long long>(totals.sent_commands),
                static_cast<unsigned long long>(totals.repeated_commands),
                static_cast<unsigned long long>(totals.timed_out_commands));
    return incomplete == 0 ? 0 : 1;
  } catch (const frameprobe::Error& e) {
    std::fprintf(stderr, "grab_images: %s\n", e.what());
    return 3;
  }
}
