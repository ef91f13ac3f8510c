#include <gtest/gtest.h>

#include <filesystem>

#include "archive/FileIo.h"
#include "archive/ShortUtl.h"
#include "tests/common/TestUtil.h"

namespace fs = std::filesystem;

namespace {

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
