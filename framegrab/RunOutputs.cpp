#include "framegrab/RunOutputs.h"

#include "framegrab/serve/LiveServer.h"
#include "framegrab/views/JsonView.h"
#include "framegrab/views/PageView.h"
#include "framegrab/views/SummaryText.h"
#include "framegrab/write/PictureSaver.h"
#include "framegrab/write/PreviewWorker.h"
#include "framegrab/write/RecordLines.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fp {

bool PrepareDir(const std::string& flag, const std::string& dir, std::FILE* err) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (!error && std::filesystem::is_directory(dir, error)) return true;
  std::fprintf(err, "framegrab: %s %s: %s\n", flag.c_str(), dir.c_str(),
               error ? error.message().c_str() : "not a directory");
  return false;
}

bool PreparePictureDir(const std::string& path, OutputDir& dir, std::FILE* err) {
  if (!PrepareDir("--save", path, err)) return false;
  std::string why;
  if (!dir.Open(path, why)) {
    std::fprintf(err, "framegrab: --save %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  const std::string earlier = PictureSaver::FirstPicture(dir);
  if (earlier.empty()) return true;
  std::fprintf(err,
               "framegrab: --save %s holds pictures of an earlier run (%s); name a new or empty "
               "directory\n",
               path.c_str(), earlier.c_str());
  return false;
}

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

bool FinalFile::Prepare(const char* flag, const std::string& path, std::FILE* err) {
  std::string name;
  std::string why;
  if (!_dir.OpenParentOf(path, name, why) || !_file.Create(_dir, name, why)) {
    std::fprintf(err, "framegrab: %s %s: %s\n", flag, path.c_str(), why.c_str());
    return false;
  }
  _flag = flag;
  _path = path;
  return true;
}

bool FinalFile::Write(const std::string& text, std::FILE* err) {
  std::string why;
  _file.Write(text.data(), text.size());
  if (_file.Commit(OutputFile::Replace::kAllowed, /*durable=*/true, why)) return true;
  std::fprintf(err, "framegrab: %s %s: %s\n", _flag.c_str(), _path.c_str(), why.c_str());
  return false;
}

bool WriteJson(const std::string& json, const RunResults& r) {
  if (!r.json_to_out) return r.json->Write(json, r.err);
  if (std::fputs(json.c_str(), r.out) >= 0 && std::fflush(r.out) == 0) return true;
  std::fprintf(r.err, "framegrab: --json -: %s\n", std::strerror(errno));
  return false;
}

int WriteRunResults(const RunModel& model, const RunResults& r) {
  if (r.summary) {
    std::fputs(FormatSummary(model).c_str(), r.text);
  } else {
    for (const std::string& d : model.summary.diagnoses) {
      std::fprintf(r.err, "diagnosis: %s\n", d.c_str());
    }
  }
  std::fflush(r.text);
  int status = model.summary.exit_status;
  if (r.lines != nullptr) {
    if (r.lines->Failure().empty() && !r.lines->Append(RunEndLine(model))) {
      std::fprintf(r.err, "framegrab: --records %s: %s\n", r.lines_path.c_str(),
                   r.lines->Failure().c_str());
    }
    if (!r.lines->Failure().empty() && status == 0) status = 1;
  }
  if (r.JsonWanted() && !WriteJson(RunToJson(model), r) && status == 0) status = 1;
  if (r.report != nullptr && r.report->Wanted()) {
    const std::shared_ptr<const Preview> shown = r.preview->Latest();
    if (!r.report->Write(ReportHtml(model, shown.get(), r.command_line), r.err) && status == 0) {
      status = 1;
    }
  }
  return status;
}

namespace {

std::string PageUrl(const GrabOptions& options) {
  return "http://" + options.serve_address + ":" + std::to_string(options.serve_port) + "/";
}

}  // namespace

bool PrepareFinalFiles(const GrabOptions& options, FinalFile& json, FinalFile& report,
                       std::FILE* err) {
  if (!options.json_path.empty() && options.json_path != "-" &&
      !json.Prepare("--json", options.json_path, err)) {
    return false;
  }
  return options.report_path.empty() || report.Prepare("--report", options.report_path, err);
}

bool OpenRecordLines(const GrabOptions& options, RecordLines& lines, std::FILE* err) {
  if (options.records_path.empty()) return true;
  std::string why;
  if (lines.Open(options.records_path, why)) return true;
  std::fprintf(err, "framegrab: --records %s: %s\n", options.records_path.c_str(), why.c_str());
  return false;
}

bool StartPage(LiveServer& server, const GrabOptions& options, std::FILE* text, std::FILE* err) {
  std::string why;
  if (!server.Start(options.serve_address, options.serve_port, why)) {
    std::fprintf(err, "framegrab: --serve %s:%d: cannot listen: %s\n",
                 options.serve_address.c_str(), options.serve_port, why.c_str());
    return false;
  }
  const std::string url = PageUrl(options);
  if (!server.OnLoopback()) {
    std::fprintf(err,
                 "framegrab: warning: the page at %s can be read from the network, and it has "
                 "no password\n",
                 url.c_str());
  }
  if (!options.quiet) std::fprintf(text, "framegrab: serving %s\n", url.c_str());
  std::fflush(text);
  return true;
}

void KeepServing(const GrabOptions& options, std::FILE* text, const std::atomic<int>* stop_signal) {
  if (stop_signal == nullptr || stop_signal->load() != 0) return;
  if (!options.quiet) {
    std::fprintf(text, "framegrab: still serving %s until interrupted\n", PageUrl(options).c_str());
    std::fflush(text);
  }
  while (stop_signal->load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace fp
