#include "framegrab/RunOutputs.h"

#include "framegrab/write/PictureSaver.h"

#include <filesystem>

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

}  // namespace fp
