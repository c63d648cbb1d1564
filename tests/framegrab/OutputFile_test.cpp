#include "framegrab/write/OutputFile.h"

#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fp {
namespace {

using test::ReadFile;

// What stands at the final name decides what a commit does; in no case is anything written
// through a link, and no temporary file stays behind.
TEST(OutputFile, CommitsWholeWithoutFollowingOrReplacingWhatItMustNot) {
  enum class AtName { kNothing, kFile, kLink };
  struct Case {
    const char* what;
    AtName at_name;
    OutputFile::Replace replace;
    bool commit;         // false: dropped unfinished
    const char* expect;  // at the final name afterwards ("" = nothing there)
    bool committed;
  };
  const Case cases[] = {
      {"new file", AtName::kNothing, OutputFile::Replace::kNever, true, "new", true},
      {"over a file", AtName::kFile, OutputFile::Replace::kAllowed, true, "new", true},
      {"never over a file", AtName::kFile, OutputFile::Replace::kNever, true, "old", false},
      {"over a link", AtName::kLink, OutputFile::Replace::kAllowed, true, "new", true},
      {"never over a link", AtName::kLink, OutputFile::Replace::kNever, true, "precious", false},
      {"dropped", AtName::kFile, OutputFile::Replace::kAllowed, false, "old", false},
  };
  for (const Case& c : cases) {
    test::TempDir temp("outputfile");
    const std::string final_path = temp.Path() + "/out.json";
    const std::string target = temp.Path() + "/target";
    std::ofstream(target) << "precious";
    if (c.at_name == AtName::kFile) std::ofstream(final_path) << "old";
    if (c.at_name == AtName::kLink) std::filesystem::create_symlink(target, final_path);
    OutputDir dir;
    std::string why;
    ASSERT_TRUE(dir.Open(temp.Path(), why)) << why;
    {
      OutputFile file;
      ASSERT_TRUE(file.Create(dir, "out.json", why)) << c.what << why;
      ASSERT_TRUE(file.Write("new", 3));
      if (c.commit) {
        EXPECT_EQ(file.Commit(c.replace, /*durable=*/false, why), c.committed) << c.what;
        if (!c.committed) {
          EXPECT_EQ(why, ErrorText(EEXIST)) << c.what;
        }
      }
    }
    EXPECT_EQ(ReadFile(final_path), c.expect) << c.what;
    EXPECT_EQ(ReadFile(target), "precious") << c.what;
    const auto entries = std::distance(std::filesystem::directory_iterator(temp.Path()), {});
    EXPECT_EQ(entries, 2) << c.what;  // the target and the final name, nothing more
  }
}

// A temporary file is never made through a link planted at its own name.
TEST(OutputFile, MakesItsTemporaryFileBesideALinkPlantedAtItsName) {
  test::TempDir temp("outputfile");
  const std::string target = temp.Path() + "/target";
  std::ofstream(target) << "precious";
  const std::string planted = temp.Path() + "/.out.json." + std::to_string(::getpid()) + ".tmp";
  std::filesystem::create_symlink(target, planted);
  OutputDir dir;
  std::string why;
  ASSERT_TRUE(dir.Open(temp.Path(), why));
  OutputFile file;
  ASSERT_TRUE(file.Create(dir, "out.json", why)) << why;
  ASSERT_TRUE(file.Write("new", 3));
  ASSERT_TRUE(file.Commit(OutputFile::Replace::kNever, /*durable=*/true, why)) << why;
  EXPECT_EQ(ReadFile(temp.Path() + "/out.json"), "new");
  EXPECT_EQ(ReadFile(target), "precious");
}

}  // namespace
}  // namespace fp
