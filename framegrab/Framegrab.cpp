#include "framegrab/Framegrab.h"

#include "framegrab/GrabOptions.h"
#include "framegrab/Grabber.h"
#include "framegrab/ProgressLine.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
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
  // Where the results go must be usable before anything is sent.
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

  std::FILE* text = json_to_out ? err : out;
  std::unique_ptr<ProgressLine> progress;
  if (!options.quiet) {
    progress = std::make_unique<ProgressLine>(text, isatty(fileno(text)) != 0, options.images,
                                              options.duration_seconds);
  }
  Grabber grabber(options, progress.get(), err, stop_signal);
  GrabReport report = grabber.Run();
  const int signal = stop_signal != nullptr ? stop_signal->load() : 0;
  Summarize(report, signal != 0 ? 128 + signal : 0);

  if (!options.quiet && report.opened) {
    std::fputs(FormatSummary(report).c_str(), text);
  } else {
    for (const std::string& d : report.summary.diagnoses) {
      std::fprintf(err, "diagnosis: %s\n", d.c_str());
    }
  }
  std::fflush(text);
  if (!options.json_path.empty()) {
    const std::string json = ReportToJson(report);
    std::FILE* target = json_to_out ? out : json_file.get();
    if (std::fputs(json.c_str(), target) < 0 || std::fflush(target) != 0) {
      std::fprintf(err, "framegrab: --json %s: %s\n", options.json_path.c_str(),
                   std::strerror(errno));
      if (report.summary.exit_status == 0) return 1;
    }
  }
  return report.summary.exit_status;
}

}  // namespace fp
