#include "framegrab/Framegrab.h"

#include "net/LocalPorts.h"

#include "framegrab/CaptureRun.h"
#include "framegrab/GrabOptions.h"
#include "framegrab/RunOutputs.h"
#include "framegrab/StationRun.h"
#include "framegrab/acquire/Grabber.h"
#include "framegrab/model/RunRecords.h"
#include "framegrab/serve/LiveServer.h"
#include "framegrab/views/ProgressLine.h"
#include "framegrab/write/PictureSaver.h"
#include "framegrab/write/PreviewWorker.h"
#include "framegrab/write/RecordLines.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace fp {

int RunFramegrab(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                 const std::atomic<int>* stop_signal) {
  GrabOptions options;
  switch (ParseGrabArgs(args, options, out, err)) {
    case GrabParse::kDone:
      return 0;
    case GrabParse::kUsageError:
      return 2;
    case GrabParse::kRun:
      break;
  }
  if (!options.capture_path.empty()) return RunFromCapture(options, args, out, err, stop_signal);
  if (options.cameras.size() > 1) return RunStation(options, args, out, err, stop_signal);
  // The local address must be one of this machine's before anything is sent; where the results
  // go must be usable too, and nothing that exists is touched before every check has passed:
  // the JSON and the report are written under temporary names made now and replace their files
  // only when whole, at the end.
  if (const std::string problem = LocalAddressProblem(options.local); !problem.empty()) {
    std::fprintf(err, "framegrab: local_ip %s\n", problem.c_str());
    return 2;
  }
  OutputDir pictures_dir;
  if (!options.save_dir.empty() && !PreparePictureDir(options.save_dir, pictures_dir, err)) {
    return 2;
  }
  if (!options.logs_dir.empty() && !PrepareDir("--logs", options.logs_dir, err)) return 2;
  const bool json_to_out = options.json_path == "-";
  FinalFile json_file;
  FinalFile report_file;
  if (!PrepareFinalFiles(options, json_file, report_file, err)) return 2;
  std::FILE* text = json_to_out ? err : out;
  RunRecords records;
  std::unique_ptr<PreviewWorker> preview;
  if (!options.serve_address.empty() || report_file.Wanted()) {
    preview = std::make_unique<PreviewWorker>(options.width);
  }
  std::unique_ptr<LiveServer> server;
  if (!options.serve_address.empty()) {
    server = std::make_unique<LiveServer>(records, *preview);
    if (!StartPage(*server, options, text, err)) return 2;
  }

  // Last of the checks: an appended file made here is new, and stays so only for a run.
  RecordLines lines;
  if (!OpenRecordLines(options, lines, err)) return 2;

  std::unique_ptr<ProgressLine> progress;
  if (!options.quiet) {
    progress = std::make_unique<ProgressLine>(
        text, isatty(fileno(text)) != 0, options.images,
        std::chrono::milliseconds(std::llround(options.progress_every_seconds * 1e3)));
  }
  Grabber grabber(options, records, progress.get(), err, stop_signal, preview.get());
  grabber.SavePicturesIn(std::move(pictures_dir));
  if (!options.records_path.empty()) grabber.WriteLinesTo(&lines, CommandLine(args));
  RunFacts facts = grabber.Run();
  const int signal = stop_signal != nullptr ? stop_signal->load() : 0;
  if (signal != 0) facts.interrupt_status = 128 + signal;
  if (preview) {
    int last_number = 0;
    int last_missing = 0;
    SharedImage last = grabber.LastImage(last_number, last_missing);
    preview->Finish(std::move(last), last_number, last_missing);
  }
  records.Finish(facts);
  const std::shared_ptr<const RunModel> model = records.Model();

  RunResults results;
  results.out = out;
  results.text = text;
  results.err = err;
  results.summary = !options.quiet && model->facts.opened;
  results.json_to_out = json_to_out;
  results.json = &json_file;
  results.report = &report_file;
  if (!options.records_path.empty()) results.lines = &lines;
  results.lines_path = options.records_path;
  results.preview = preview.get();
  results.command_line = CommandLine(args);
  const int status = WriteRunResults(*model, results);
  if (server) KeepServing(options, text, stop_signal);
  return status;
}

}  // namespace fp
