#include <gtest/gtest.h>

#include <filesystem>

#include "archive/FileIo.h"
#include "archive/ShortUtl.h"
#include "tests/common/TestUtil.h"

namespace fs = std::filesystem;

namespace {

TEST(ShortUtl, DefaultArchiveNameAddsWhatIsMissing) {
  const std::string cwd = fileio::CurrentDir();
  const std::string cwdSlash = IsPathDelimiter(cwd.back()) ? cwd : cwd + "\\";
  struct Row {
    int line;
    std::string name, expected;
  } rows[] = {
      {__LINE__, "dir\\setup", "dir\\setup.pvz"},
      {__LINE__, "dir\\setup.bin", "dir\\setup.bin"},
      {__LINE__, "dir\\setup.", "dir\\setup."},
      {__LINE__, "dir.d\\setup", "dir.d\\setup.pvz"},
      {__LINE__, "setup", cwdSlash + "setup.pvz"},
      {__LINE__, "setup.x", cwdSlash + "setup.x"},
#ifdef _WIN32
      {__LINE__, "C:setup", "C:setup.pvz"},
      {__LINE__, "C:\\t\\tempfile.$$$", "C:\\t\\tempfile.$$$"},
#endif
  };
  for (const Row& r : rows)
    EXPECT_EQ(DefaultArchiveName(r.name, ".pvz"), r.expected) << "row at line " << r.line;
}

TEST(ShortUtl, MakeDirPathMakesParentsFirstAndStopsAtWhatExists) {
  testutil::TempDir temp;
  const std::string base = temp.str();
  MakeDirPath(base + "\\a\\b\\c\\\\");
  EXPECT_TRUE(fs::is_directory(temp / "a/b/c"));
  MakeDirPath(base + "\\a\\b\\c");  // all there: nothing to do, nothing fails
  EXPECT_TRUE(fs::is_directory(temp / "a/b/c"));

  // A file in the way: the levels below it cannot be made, silently.
  testutil::WriteFile(temp / "f", std::string("x"));
  MakeDirPath(base + "\\f\\g");
  EXPECT_FALSE(fs::exists(temp / "f/g"));
  MakeDirPath("");
  EXPECT_EQ(StripTrailingBackslashes("C:\\\\\\"), "C:");
}

}  // namespace
