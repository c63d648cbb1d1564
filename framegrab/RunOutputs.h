#pragma once

#include "framegrab/acquire/GrabSettings.h"
#include "framegrab/model/RunModel.h"
#include "framegrab/write/OutputFile.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace fp {

// Where a run's results go, made ready before anything is sent or read: a camera's run and a
// capture's alike.

// A directory that exists or can be made; false with a message otherwise.
bool PrepareDir(const std::string& flag, const std::string& dir, std::FILE* err);

// The --save directory, made when missing and held open in `dir`; false with a message when it
// cannot be, or when it holds a picture already: one run's pictures never mix with, or replace,
// another's.
bool PreparePictureDir(const std::string& path, OutputDir& dir, std::FILE* err);

// A file written at the end of the run (the JSON, the report): its temporary file is made at the
// start, so that a file that cannot be written is found before anything is sent, and it takes
// the final name only when whole. Until then an existing file keeps its content, also when the
// process is ended at once.
class FinalFile {
 public:
  bool Wanted() const { return !_flag.empty(); }
  // False with a message when the file cannot be made.
  bool Prepare(const char* flag, const std::string& path, std::FILE* err);
  // Writes `text` as the whole file; false with a message when it could not be.
  bool Write(const std::string& text, std::FILE* err);

 private:
  std::string _flag;
  std::string _path;
  OutputDir _dir;
  OutputFile _file;
};

class LiveServer;
class PreviewWorker;
class RecordLines;

// The run's --json and --report files made ready (not for what was not asked, nor for
// --json -); false with a message when one cannot be.
bool PrepareFinalFiles(const GrabOptions& options, FinalFile& json, FinalFile& report,
                       std::FILE* err);
// --records opened, when asked for; false with a message when it cannot be. Last of the checks:
// a file it makes is new, and stays so only for a run.
bool OpenRecordLines(const GrabOptions& options, RecordLines& lines, std::FILE* err);

// Starts `server` on --serve's address and port and says where on `text` (unless --quiet), with
// a warning on `err` when the network can read the page; false with a message when it cannot
// listen.
bool StartPage(LiveServer& server, const GrabOptions& options, std::FILE* text, std::FILE* err);
// After the run, with a page: it stays up for a look until the signal that ends the program.
void KeepServing(const GrabOptions& options, std::FILE* text, const std::atomic<int>* stop_signal);

// Where the end of a run goes, a camera's or a capture's.
struct RunResults {
  std::FILE* out = nullptr;   // the JSON with --json -
  std::FILE* text = nullptr;  // the summary
  std::FILE* err = nullptr;   // errors, and the diagnoses when there is no summary
  bool summary = true;        // the summary on `text`, else the diagnoses alone on `err`
  bool json_to_out = false;
  FinalFile* json = nullptr;     // may not be Wanted
  FinalFile* report = nullptr;   // may not be Wanted; needs `preview` when it is
  RecordLines* lines = nullptr;  // null when none
  std::string lines_path;
  PreviewWorker* preview = nullptr;
  std::string command_line;

  bool JsonWanted() const { return json_to_out || (json != nullptr && json->Wanted()); }
};

// `json` where --json puts it: standard output, or its file whole; false, said on `err`, when it
// could not be written.
bool WriteJson(const std::string& json, const RunResults& results);

// Ends a run's outputs from its model: the summary (or the diagnoses), the records' end line,
// the JSON and the report. Returns the run's exit status, 1 in place of 0 when one of them could
// not be written (each said on `err`).
int WriteRunResults(const RunModel& model, const RunResults& results);

// The command line as a person would type it again: words with anything but safe characters
// in single quotes.
std::string CommandLine(const std::vector<std::string>& args);

}  // namespace fp
