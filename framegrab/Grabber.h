#pragma once

#include "framegrab/GrabOptions.h"
#include "framegrab/GrabReport.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace fp {

class CEthCamera;
class ImagePool;
class LiveState;
class PngSaver;
class ProgressLine;

// Takes the images of one run on one camera, each as frameprobe takes its one: the image
// buffer handed over with SetRawDataBuffer, command 0x08, WaitForRawData and, when packets are
// missing, ReadMissing; before the first, binning is switched on. Records how each arrived.
// For one thread; the signal flag may be set from any.
class Grabber {
 public:
  // `progress` receives the progress (may be null for none); `err` the errors as they happen;
  // `live` each record and, now and then, an image for its preview (may be null for none).
  // The run stops after the current image once `*stop_signal` is not 0.
  Grabber(const GrabOptions& options, ProgressLine* progress, std::FILE* err,
          const std::atomic<int>* stop_signal, LiveState* live = nullptr);
  ~Grabber();
  Grabber(const Grabber&) = delete;
  Grabber& operator=(const Grabber&) = delete;

  // Runs to the end and returns what was found, not yet summarised.
  GrabReport Run();
  // After Run, with a live state: the last image taken (null when none) and its number.
  std::shared_ptr<const std::uint8_t[]> LastImage(int& number) const;

 private:
  // Opens the camera and switches binning on; false (with a message) when it cannot.
  bool OpenCamera(GrabReport& report);
  // Takes image `number` into _image. False when contact was lost (the record is kept when
  // the image had been started).
  bool TakeImage(int number, GrabReport& report);
  // Hands the image just taken to the picture writer and the live preview, as they want it;
  // the grabber then takes the next into another buffer.
  void ShareImage(ImageRecord& record, GrabReport& report);
  void PrintSaverErrors();

  const GrabOptions& _options;
  ProgressLine* const _progress;  // not owned
  std::FILE* const _err;
  const std::atomic<int>* const _stop_signal;  // not owned
  LiveState* const _live;                      // not owned
  std::unique_ptr<CEthCamera> _camera;
  std::unique_ptr<PngSaver> _saver;
  std::unique_ptr<ImagePool> _pool;
  std::shared_ptr<std::uint8_t[]> _image;       // the buffer the next image goes into
  std::shared_ptr<const std::uint8_t[]> _last;  // the last image, kept for the live state
  int _last_number = 0;
};

}  // namespace fp
