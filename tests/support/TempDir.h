#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace fp::test {

// A fresh directory /tmp/<prefix>_XXXXXX that is removed with all it holds when the object goes,
// unless the running test has failed: its files then stay for a look and their place is
// printed. Path() is empty when the directory could not be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix);
  ~TempDir();

  const std::string& Path() const { return _path; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return _path + "/" + name; }

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

 private:
  std::string _path;
};

// The whole content of the file at `path`, byte for byte; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace fp::test
