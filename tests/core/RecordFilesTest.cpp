// The reader's files below a destination whose folders another user
// exchanges for links while it writes (natively: POSIX links and
// renameat2; under Wine the setup's end-to-end tests do the same).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "archive/FileIo.h"
#include "tests/common/TestUtil.h"

// Which reparse points count as links: every name surrogate, and a tag the
// system does not tell; other reparse points are files and folders.
TEST(RecordFilesLinks, EveryNameSurrogateTagIsALink) {
  const struct { int line; uint32_t tag; bool link; } rows[] = {
      {__LINE__, 0xA0000003, true},   // junction, mount point
      {__LINE__, 0xA000000C, true},   // symbolic link
      {__LINE__, 0xA0000019, true},   // global reparse: a name elsewhere
      {__LINE__, 0xA000001D, true},   // a Linux subsystem's symbolic link
      {__LINE__, 0, true},            // none told
      {__LINE__, 0x9000001A, false},  // a cloud file's placeholder
      {__LINE__, 0x80000013, false},  // a deduplicated file
      {__LINE__, 0x8000001B, false},  // an app execution alias: a file to run
  };
  for (const auto& row : rows) EXPECT_EQ(fileio::IsLinkTag(row.tag), row.link) << row.line;
}

// What the reader's files are made with refuses what it was not opened
// for: a name that is no one level below the folder held, a folder not
// held, a read through a handle that only inspects, a write through one
// that only reads. A refused call fails at once, however the system fails.
TEST(RecordFilesLayer, RefusesWhatTheHandleOrTheNameDoesNotAllow) {
  testutil::TempDir temp;
  testutil::WriteFile(temp / "f", std::string("data"));
  std::filesystem::create_directory(temp / "d");
  fileio::File dir, file, none;
  ASSERT_TRUE(dir.HoldDirectory((temp / "d").string()));
  for (const char* name : {"", ".", "..", "../f", "..\\f"}) {
    EXPECT_FALSE(file.OpenAt(dir, name, fileio::OpenMode::Inspect)) << name;
    EXPECT_FALSE(file.OpenDirectoryAt(dir, name)) << name;
  }
  EXPECT_FALSE(file.OpenAt(none, "f", fileio::OpenMode::Inspect));
  EXPECT_FALSE(file.OpenDirectoryAt(none, "d"));
  char buffer[8];
  uint32_t got = 1;
  ASSERT_TRUE(file.Open((temp / "f").string(), fileio::OpenMode::Inspect));
  EXPECT_FALSE(file.Read(buffer, 4, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(file.Open((temp / "f").string(), fileio::OpenMode::ReadShared));
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_TRUE(file.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "data");
  // What is allowed says so: a name below the folder held deleted.
  testutil::WriteFile(temp / "d" / "g", std::string("g"));
  ASSERT_TRUE(file.OpenAt(dir, "g", fileio::OpenMode::Inspect));
  EXPECT_TRUE(file.Delete());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(temp / "d" / "g"));
}

#ifndef _WIN32
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "tests/common/ExtractAt.h"

namespace fs = std::filesystem;
using testutil::TestRecord;

namespace {

// While the reader unpacks 300 files into dest/sub, round after round,
// another thread exchanges that folder with a link to a folder outside,
// as fast as it can. Each file is made relative to the folder held, so
// nothing reaches the outside folder, however the rounds end.
TEST(RecordFilesRace, AFolderExchangedForALinkLeadsNothingOutside) {
  testutil::TempDir temp;
  fs::create_directories(temp / "dest" / "sub");
  fs::create_directories(temp / "outside");
  fs::create_directory_symlink(temp / "outside", temp / "link");
  std::vector<TestRecord> records;
  for (int i = 0; i < 300; ++i)
    records.emplace_back("sub\\f" + std::to_string(i), testutil::Bytes(50, uint8_t(i)));
  const testutil::Bytes archive = testutil::BuildArchive(records);
  const std::string folder = (temp / "dest" / "sub").string(), link = (temp / "link").string();

  std::atomic<bool> running{true};
  std::atomic<long> exchanges{0};
  std::thread other([&] {
    while (running)
      if (renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0)
        ++exchanges;
  });
  int completed = 0;
  for (int round = 0; round < 30; ++round) {
    testutil::WriteFile(temp / "a.pvz", archive);
    const int32_t result = testutil::ExtractArchiveAt(
        (temp / "a.pvz").string().c_str(), (temp / "dest").string().c_str(), nullptr, nullptr);
    EXPECT_TRUE(result == ArcOk || result == ArcCannotCreate) << result;
    completed += result == ArcOk;
  }
  running = false;
  other.join();
  EXPECT_GT(exchanges.load(), 30);
  EXPECT_TRUE(fs::is_empty(temp / "outside")) << testutil::TreeContents(temp / "outside").size()
                                              << " files outside, " << completed
                                              << " rounds complete";
}

}  // namespace
#endif
