#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fp::test {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "_XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) _path = buffer.data();
}

TempDir::~TempDir() {
  if (_path.empty()) return;
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "files kept in %s\n", _path.c_str());
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(_path, ignored);
}

}  // namespace fp::test
