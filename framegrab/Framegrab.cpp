#include "framegrab/Framegrab.h"

#include "framegrab/GrabOptions.h"
#include "framegrab/Grabber.h"
#include "framegrab/JsonView.h"
#include "framegrab/LiveServer.h"
#include "framegrab/LocalPorts.h"
#include "framegrab/PageView.h"
#include "framegrab/PreviewWorker.h"
#include "framegrab/ProgressLine.h"
#include "framegrab/RunRecords.h"
#include "framegrab/SummaryText.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace fp {

namespace {

// A directory that exists or can be made; false with a message otherwise.
bool PrepareDir(const std::string& flag, const std::string& dir, std::FILE* err) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (!error && std::filesystem::is_directory(dir, error)) return true;
  std::fprintf(err, "framegrab: %s %s: %s\n", flag.c_str(), dir.c_str(),
               error ? error.message().c_str() : "not a directory");
  return false;
}

// The command line as a person would type it again: words with anything but safe characters
// in single quotes.
std::string CommandLine(const std::vector<std::string>& args) {
  std::string line = "framegrab";
  for (const std::string& a : args) {
    const bool plain = !a.empty() && a.find_first_not_of(
                                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN"
                                         "OPQRSTUVWXYZ0123456789-_.,:/=+@%") == std::string::npos;
    std::string quoted = "'";
    for (const char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += " " + (plain ? a : quoted + "'");
  }
  return line;
}

}  // namespace

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
  // The local address must be one of this machine's before anything is sent; where the results
  // go must be usable too.
  if (const std::string problem = LocalAddressProblem(options.local); !problem.empty()) {
    std::fprintf(err, "framegrab: local_ip %s\n", problem.c_str());
    return 2;
  }
  if (!options.save_dir.empty() && !PrepareDir("--save", options.save_dir, err)) return 2;
  if (!options.logs_dir.empty() && !PrepareDir("--logs", options.logs_dir, err)) return 2;
  const bool json_to_out = options.json_path == "-";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> json_file(nullptr, &std::fclose);
  if (!options.json_path.empty() && !json_to_out) {
    json_file.reset(std::fopen(options.json_path.c_str(), "w"));
    if (!json_file) {
      std::fprintf(err, "framegrab: --json %s: %s\n", options.json_path.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> report_file(nullptr, &std::fclose);
  if (!options.report_path.empty()) {
    report_file.reset(std::fopen(options.report_path.c_str(), "w"));
    if (!report_file) {
      std::fprintf(err, "framegrab: --report %s: %s\n", options.report_path.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  std::FILE* text = json_to_out ? err : out;
  RunRecords records;
  std::unique_ptr<PreviewWorker> preview;
  if (!options.serve_address.empty() || report_file) {
    preview = std::make_unique<PreviewWorker>(options.width);
  }
  std::unique_ptr<LiveServer> server;
  const std::string url =
      "http://" + options.serve_address + ":" + std::to_string(options.serve_port) + "/";
  if (!options.serve_address.empty()) {
    server = std::make_unique<LiveServer>(records, *preview);
    std::string why;
    if (!server->Start(options.serve_address, options.serve_port, why)) {
      std::fprintf(err, "framegrab: --serve %s:%d: cannot listen: %s\n",
                   options.serve_address.c_str(), options.serve_port, why.c_str());
      return 2;
    }
    if (!options.quiet) std::fprintf(text, "framegrab: serving %s\n", url.c_str());
    std::fflush(text);
  }

  std::unique_ptr<ProgressLine> progress;
  if (!options.quiet) {
    progress = std::make_unique<ProgressLine>(
        text, isatty(fileno(text)) != 0, options.images,
        std::chrono::milliseconds(std::llround(options.progress_every_seconds * 1e3)));
  }
  Grabber grabber(options, records, progress.get(), err, stop_signal, preview.get());
  RunFacts facts = grabber.Run();
  const int signal = stop_signal != nullptr ? stop_signal->load() : 0;
  if (signal != 0) facts.interrupt_status = 128 + signal;
  if (preview) {
    int last_number = 0;
    int last_missing = 0;
    std::shared_ptr<const std::uint8_t[]> last = grabber.LastImage(last_number, last_missing);
    preview->Finish(std::move(last), last_number, last_missing);
  }
  records.Finish(facts);
  const std::shared_ptr<const RunModel> model = records.Model();

  if (!options.quiet && model->facts.opened) {
    std::fputs(FormatSummary(*model).c_str(), text);
  } else {
    for (const std::string& d : model->summary.diagnoses) {
      std::fprintf(err, "diagnosis: %s\n", d.c_str());
    }
  }
  std::fflush(text);
  int status = model->summary.exit_status;
  if (!options.json_path.empty()) {
    const std::string json = RunToJson(*model);
    std::FILE* target = json_to_out ? out : json_file.get();
    if (std::fputs(json.c_str(), target) < 0 || std::fflush(target) != 0) {
      std::fprintf(err, "framegrab: --json %s: %s\n", options.json_path.c_str(),
                   std::strerror(errno));
      if (status == 0) status = 1;
    }
  }
  if (report_file) {
    const std::shared_ptr<const Preview> shown = preview->Latest();
    const std::string html = ReportHtml(*model, shown.get(), CommandLine(args));
    if (std::fputs(html.c_str(), report_file.get()) < 0 || std::fflush(report_file.get()) != 0) {
      std::fprintf(err, "framegrab: --report %s: %s\n", options.report_path.c_str(),
                   std::strerror(errno));
      if (status == 0) status = 1;
    }
  }
  // The page stays up for a look at the end, until the signal that ends the program.
  if (server && stop_signal != nullptr && stop_signal->load() == 0) {
    if (!options.quiet) {
      std::fprintf(text, "framegrab: still serving %s until interrupted\n", url.c_str());
      std::fflush(text);
    }
    while (stop_signal->load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return status;
}

}  // namespace fp
