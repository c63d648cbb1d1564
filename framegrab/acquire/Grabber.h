#pragma once

#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"

#include "framegrab/acquire/GrabSettings.h"
#include "framegrab/model/ImageBuffer.h"
#include "framegrab/model/RunModel.h"
#include "framegrab/write/OutputFile.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace fp {

class CEthCamera;
class ImageAnalyser;
class ImagePool;
class PictureSaver;
class PreviewWorker;
class ProgressLine;
class RecordLines;
class RunRecords;

// Takes the images of one run on one camera, each with the driver's CEthCamera::TakeImage (the
// image buffer handed over, command 0x08, the wait and, when packets are missing, their
// recovery); before the first, binning is switched on. Each image's record goes,
// with the image, to the analyser, which files it in `records`; pictures go to the writer and,
// now and then, an image to the preview. For one thread; the signal flag may be set from any.
class Grabber {
 public:
  // `progress` receives the progress (may be null for none); `err` the errors as they happen;
  // `preview` an image now and then (may be null for none). The run stops after the current
  // image once `*stop_signal` is not 0.
  Grabber(const GrabOptions& options, RunRecords& records, ProgressLine* progress, std::FILE* err,
          const std::atomic<int>* stop_signal, PreviewWorker* preview = nullptr);
  ~Grabber();
  Grabber(const Grabber&) = delete;
  Grabber& operator=(const Grabber&) = delete;

  // Before Run: pictures go into `dir` (checked already; with --save), and the run's lines (its
  // start, each image, each outage) to `lines` (not owned; may be null for none), the start
  // line naming `command_line`.
  void SavePicturesIn(OutputDir dir) { _pictures_dir = std::move(dir); }
  void WriteLinesTo(RecordLines* lines, std::string command_line) {
    _lines = lines;
    _command_line = std::move(command_line);
  }

  // Runs to the end, every record filed, and returns the run's facts. The camera, and with it
  // the driver's logs, is closed at the end.
  RunFacts Run();
  // After Run, with a preview: the last image taken (null when none), its number and the
  // packets it lacks.
  SharedImage LastImage(int& number, int& missing) const;

 private:
  using Clock = std::chrono::steady_clock;

  // Makes the camera object and opens the logs; false (with a message) when it cannot.
  bool MakeCamera();
  // A line on the error stream: "framegrab: ", in a station "camera X: ", then `format`.
  void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // After a failed bind or open: a line for each of the driver's ports some program holds.
  void SayWhoHoldsThePorts();
  // Opens the camera and switches binning on; false (with a message) when it cannot.
  bool OpenCamera(RunFacts& facts);
  // One attempt at opening the camera again and switching binning on; quiet.
  bool Reopen();
  // Asks the camera for its identification text; empty when it does not answer.
  std::string CameraId();
  // True when the driver closed the connection or its watchdog gave up.
  bool ContactLost() const;
  // After contact was lost: closes the camera and reopens it, again and again with a growing
  // pause, until it answers (true) or the run ends in the outage (false, `facts.ended_by` set).
  // `lost_image` is the image cut short, 0 for none.
  bool RideOutOutage(RunFacts& facts, Clock::time_point run_start, int lost_image);
  // Why the run must end now, or kRunning when it goes on.
  RunEnd Limit(Clock::time_point run_start) const;
  // The driver's counts since the first Open, over every connection of the run.
  DriverCounts DriverTotal() const;
  // The pictures' counts, to the facts and the records.
  void NotePictures(RunFacts& facts);
  // Takes image `number` into _image, handing the image before over once this one has
  // started; its record (kept until handed over), or null when it could not be started. As
  // the image ends, its picture gets a place in the writer's queue (or not).
  const ImageRecord* TakeImage(int number, Clock::time_point run_start);
  // Hands the image taken last, if any, to the picture writer, the preview and the analyser.
  void HandOver();
  // Appends `line` to the record lines, if any; the first failure is reported once.
  void WriteLine(const std::string& line);
  void PrintSaverErrors();

  const GrabOptions& _options;
  RunRecords& _records;           // not owned
  ProgressLine* const _progress;  // not owned
  std::FILE* const _err;
  const std::atomic<int>* const _stop_signal;  // not owned
  PreviewWorker* const _preview;               // not owned
  RecordLines* _lines = nullptr;               // not owned
  bool _lines_failed = false;
  std::string _command_line;
  OutputDir _pictures_dir;
  // The first failure to write a driver log; set on whichever thread wrote.
  Mutex _log_failure_mutex;
  std::string _log_failure GUARDED_BY(_log_failure_mutex);
  std::unique_ptr<CEthCamera> _camera;
  std::unique_ptr<ImagePool> _pool;
  std::unique_ptr<PictureSaver> _saver;
  std::unique_ptr<ImageAnalyser> _analyser;
  ImageBuffer _image;  // the buffer the next image goes into
  // The image taken last and its record, until handed over.
  std::optional<ImageRecord> _taken;
  SharedImage _taken_image;
  SharedImage _last;  // the last image, kept for the preview
  int _last_number = 0;
  DriverCounts _closed_counts;  // of the connections closed for an outage
  int _last_missing = 0;
};

}  // namespace fp
