#include "framegrab/StationRun.h"

#include "net/LocalPorts.h"

#include "framegrab/RunOutputs.h"
#include "framegrab/acquire/Grabber.h"
#include "framegrab/model/RunRecords.h"
#include "framegrab/serve/LiveServer.h"
#include "framegrab/views/FigureText.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/views/PageView.h"
#include "framegrab/views/SummaryText.h"
#include "framegrab/write/PreviewWorker.h"
#include "framegrab/write/RecordLines.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <thread>
#include <unistd.h>

namespace fp {

namespace {

// The kernel's cap on a socket's receive buffer, -1 when it cannot be read.
long long ReadRmemMax() {
  std::ifstream file("/proc/sys/net/core/rmem_max");
  long long value = -1;
  if (!(file >> value)) return -1;
  return value;
}

// One camera of the station: its options, records, preview and grabber, and what its run gave.
struct StationCamera {
  GrabOptions options;
  RunRecords records;
  std::unique_ptr<PreviewWorker> preview;
  OutputDir pictures_dir;
  std::unique_ptr<Grabber> grabber;
  RunFacts facts;
  std::shared_ptr<const RunModel> model;
};

}  // namespace

std::vector<std::string> StationWarnings(std::size_t cameras, unsigned cores, long long rmem_max) {
  std::vector<std::string> lines;
  if (cores > 0 && cameras > cores) {
    lines.push_back(std::to_string(cameras) + " cameras on " + std::to_string(cores) +
                    " processor cores: each camera's driver, grab thread, analyser and writer "
                    "want a good part of a core at line rate, so images may come slower or lack "
                    "packets; a core a camera keeps each at line rate");
  }
  if (rmem_max >= 0 && rmem_max < kImageReceiveBufferBytes) {
    lines.push_back("the kernel caps a socket's receive buffer at " + std::to_string(rmem_max) +
                    " bytes (net.core.rmem_max), below the " +
                    std::to_string(kImageReceiveBufferBytes) +
                    " one image needs: every camera of the station may lose packets in the "
                    "kernel; lift it with: sudo sysctl -w net.core.rmem_max=" +
                    std::to_string(kImageReceiveBufferBytes));
  }
  return lines;
}

int RunStation(const GrabOptions& options, const std::vector<std::string>& args, std::FILE* out,
               std::FILE* err, const std::atomic<int>* stop_signal) {
  // Every check before anything is sent: each local address this machine's, each camera's
  // folders made, the station's files ready to be written.
  for (const CameraLink& link : options.cameras) {
    if (const std::string problem = LocalAddressProblem(link.local); !problem.empty()) {
      std::fprintf(err, "framegrab: local_ip %s\n", problem.c_str());
      return 2;
    }
  }
  std::vector<std::unique_ptr<StationCamera>> cameras;
  for (const CameraLink& link : options.cameras) {
    auto camera = std::make_unique<StationCamera>();
    camera->options = options;
    camera->options.local = link.local;
    camera->options.remote = link.remote;
    camera->options.cameras = {link};
    camera->options.station_camera = link.remote;
    if (!options.save_dir.empty()) {
      camera->options.save_dir = options.save_dir + "/" + link.remote;
      if (!PreparePictureDir(camera->options.save_dir, camera->pictures_dir, err)) return 2;
    }
    if (!options.logs_dir.empty()) {
      camera->options.logs_dir = options.logs_dir + "/" + link.remote;
      if (!PrepareDir("--logs", camera->options.logs_dir, err)) return 2;
    }
    if (!options.serve_address.empty() || !options.report_path.empty()) {
      camera->preview = std::make_unique<PreviewWorker>(options.width);
    }
    cameras.push_back(std::move(camera));
  }
  const bool json_to_out = options.json_path == "-";
  FinalFile json_file;
  FinalFile report_file;
  if (!PrepareFinalFiles(options, json_file, report_file, err)) return 2;
  std::FILE* text = json_to_out ? err : out;
  std::unique_ptr<LiveServer> server;
  if (!options.serve_address.empty()) {
    std::vector<LiveCamera> shown;
    for (const auto& camera : cameras) {
      shown.push_back(LiveCamera{&camera->records, camera->preview.get()});
    }
    server = std::make_unique<LiveServer>(std::move(shown));
    if (!StartPage(*server, options, text, err)) return 2;
  }
  RecordLines lines;
  if (!OpenRecordLines(options, lines, err)) return 2;
  // The driver forces its receive buffer past the kernel's cap where it may (as root).
  const long long rmem_max = ::geteuid() == 0 ? -1 : ReadRmemMax();
  for (const std::string& line :
       StationWarnings(cameras.size(), std::thread::hardware_concurrency(), rmem_max)) {
    std::fprintf(err, "framegrab: warning: %s\n", line.c_str());
  }

  // Each camera on a thread of its own, from its first image to its last.
  const std::string command_line = CommandLine(args);
  std::vector<std::thread> threads;
  for (const auto& camera : cameras) {
    camera->grabber = std::make_unique<Grabber>(camera->options, camera->records, nullptr, err,
                                                stop_signal, camera->preview.get());
    camera->grabber->SavePicturesIn(std::move(camera->pictures_dir));
    if (!options.records_path.empty()) camera->grabber->WriteLinesTo(&lines, command_line);
  }
  for (const auto& camera : cameras) {
    threads.emplace_back([&camera] { camera->facts = camera->grabber->Run(); });
  }
  for (std::thread& thread : threads) thread.join();

  const int signal = stop_signal != nullptr ? stop_signal->load() : 0;
  // Each camera's run measured the whole process's processor time; the station's is shared out
  // by images, so that each camera's time per image is the station's.
  int images = 0;
  double user_ms = 0;
  double system_ms = 0;
  for (const auto& camera : cameras) {
    images += camera->records.Totals().images;
    user_ms = std::max(user_ms, camera->facts.cpu_user_ms);
    system_ms = std::max(system_ms, camera->facts.cpu_system_ms);
  }
  std::vector<const RunModel*> models;
  for (const auto& camera : cameras) {
    const double share =
        images > 0 ? camera->records.Totals().images / static_cast<double>(images) : 0;
    camera->facts.cpu_user_ms = user_ms * share;
    camera->facts.cpu_system_ms = system_ms * share;
    if (signal != 0) camera->facts.interrupt_status = 128 + signal;
    if (camera->preview) {
      int last_number = 0;
      int last_missing = 0;
      SharedImage last = camera->grabber->LastImage(last_number, last_missing);
      camera->preview->Finish(std::move(last), last_number, last_missing);
    }
    camera->records.Finish(camera->facts);
    camera->model = camera->records.Model();
    models.push_back(camera->model.get());
  }

  // A block for each camera, then the station's verdict; the files once for the station.
  int status = WorstExitStatus(models);
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const RunModel& model = *models[i];
    RunResults results;
    results.out = out;
    results.text = text;
    results.err = err;
    results.summary = !options.quiet && model.facts.opened;
    if (results.summary) {
      std::fprintf(text, "camera %s (local %s):\n", options.cameras[i].remote.c_str(),
                   options.cameras[i].local.c_str());
    }
    if (!options.records_path.empty()) results.lines = &lines;
    results.lines_path = options.records_path;
    // The files are the station's, written below.
    const int camera_status = WriteRunResults(model, results);
    if (camera_status != model.summary.exit_status && status == 0) status = camera_status;
  }
  if (!options.quiet) {
    std::fprintf(text, "station: %s\n", StationVerdict(models).c_str());
    std::fflush(text);
  }
  RunResults station;
  station.out = out;
  station.err = err;
  station.json_to_out = json_to_out;
  station.json = &json_file;
  if (station.JsonWanted() && !WriteJson(StationToJson(models), station) && status == 0) {
    status = 1;
  }
  if (report_file.Wanted()) {
    std::vector<std::shared_ptr<const Preview>> shown;
    std::vector<const Preview*> previews;
    for (const auto& camera : cameras) {
      shown.push_back(camera->preview->Latest());
      previews.push_back(shown.back().get());
    }
    if (!report_file.Write(StationReportHtml(models, previews, command_line), err) && status == 0) {
      status = 1;
    }
  }
  if (server) KeepServing(options, text, stop_signal);
  return status;
}

}  // namespace fp
