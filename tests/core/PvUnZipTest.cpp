#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "archive/FileIo.h"
#include "archive/PeImage.h"
#include "archive/PvUnZip.h"
#include "tests/common/FakePe.h"
#include "tests/common/TestUtil.h"

namespace fs = std::filesystem;
using testutil::Bytes;

namespace {

int PumpCalls = 0;
bool PumpClosed = false;
// When set, the pump once puts these bytes at this path in place of what
// stands there: another process that can write in the destination.
fs::path SwapPath;
Bytes SwapBytes;
bool OthersCouldRead = false;  // the file at SwapPath opened for reading meanwhile
fs::path WatchedFile;       // a file whose largest size and permissions the pump notes
uintmax_t WatchedSize = 0;
fs::perms WatchedPerms = fs::perms::unknown;
void CountingPump(bool close) {
  ++PumpCalls;
  PumpClosed |= close;
  std::error_code error;
  uintmax_t size = WatchedFile.empty() ? 0 : fs::file_size(WatchedFile, error);
  if (!error) WatchedSize = std::max(WatchedSize, size);
  if (!error && size) WatchedPerms = fs::status(WatchedFile, error).permissions();
  fileio::File other;
  if (!SwapPath.empty() && other.Open(SwapPath.string(), fileio::OpenMode::ReadShared))
    OthersCouldRead = true;
  other.Close();
  if (!SwapPath.empty() && fs::exists(SwapPath) && fs::remove(SwapPath, error)) {
    testutil::WriteFile(SwapPath, SwapBytes);
    SwapPath.clear();
  }
}

Bytes Marker() { return Bytes(PayloadMarker.begin(), PayloadMarker.end()); }

// A program image of size bytes (at least 2): only an executable is taken
// for a setup.
Bytes Image(size_t size) {
  Bytes image(size, 'M');
  image[1] = 'Z';
  return image;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes Payload = testutil::BuildArchive({testutil::TestRecord("sub\\file.txt", Bytes(3000, 'p'))});

class PvUnZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(Dest());
    PumpCalls = 0;
    PumpClosed = false;
    WatchedFile.clear();
    WatchedSize = 0;
    WatchedPerms = fs::perms::unknown;
    SwapPath.clear();
    OthersCouldRead = false;
  }
  bool Unpack(const Bytes& exe) {
    testutil::WriteFile(temp_ / "setup.exe", exe);
    bool ok = UnpackPayloadFile((temp_ / "setup.exe").string(), Dest().string(), CountingPump);
    EXPECT_FALSE(fs::exists(Dest() / "tempfile.$$$"));
    return ok;
  }
  fs::path Dest() const { return temp_ / "dest"; }
  bool Unpacked() const { return fs::exists(Dest() / "sub/file.txt"); }

  testutil::TempDir temp_;
};

TEST_F(PvUnZipTest, TheMarkerIsUpperCaseAndNotInTheProgram) {
  std::string lower = PayloadMarker;
  for (char& c : lower) c = char(std::tolower(uint8_t(c)));
  EXPECT_EQ(lower, "<pvzip file begins here>");
  EXPECT_EQ(std::count_if(PayloadMarker.begin(), PayloadMarker.end(), ::islower), 0);
  // This test program links the locator; the marker must not stand in it.
  Bytes self = testutil::ReadFile(fileio::ModulePath());
  ASSERT_FALSE(self.empty());
  Bytes marker = Marker();
  EXPECT_EQ(std::search(self.begin(), self.end(), marker.begin(), marker.end()), self.end());
}

TEST_F(PvUnZipTest, FindsTheMarkerWhereverItStands) {
  struct Row {
    int line;
    size_t imageSize;  // bytes before the marker
  } rows[] = {
      {__LINE__, 2},
      {__LINE__, 1000},
      {__LINE__, 65536 - 24},  // ends exactly at the first chunk's border
      {__LINE__, 65536 - 10},  // cut by the border
      {__LINE__, 65536},       // starts the second chunk
      {__LINE__, 3 * 65536 - 47},
  };
  for (const Row& r : rows) {
    fs::remove_all(Dest());
    fs::create_directory(Dest());
    Bytes image = Image(r.imageSize);
    EXPECT_TRUE(Unpack(Join({image, Marker(), Payload}))) << "row at line " << r.line;
    EXPECT_TRUE(Unpacked()) << "row at line " << r.line;
  }
  // Calls less than 25 ms apart may be skipped, but never the first of the
  // search, the first and last of the copy, and the reader's last.
  EXPECT_GE(PumpCalls, 3 * int(std::size(rows)));
  EXPECT_FALSE(PumpClosed) << "the locator never closes the progress window";
}

TEST_F(PvUnZipTest, WithoutAProperMarkerNothingIsUnpacked) {
  Bytes lower(PayloadMarker.begin(), PayloadMarker.end());
  std::transform(lower.begin(), lower.end(), lower.begin(), [](uint8_t c) { return uint8_t(std::tolower(c)); });
  EXPECT_FALSE(Unpack(Join({Image(100), lower, Payload})));
  EXPECT_FALSE(Unpack(Join({Image(100), Payload})));
  // A marker at the very end: an empty archive copy.
  EXPECT_FALSE(Unpack(Join({Image(100), Marker()})));
  // The first marker counts, so a second one is part of the archive.
  EXPECT_FALSE(Unpack(Join({Image(2), Marker(), Marker(), Payload})));
  EXPECT_TRUE(fs::is_empty(Dest()));
}

TEST_F(PvUnZipTest, ASignedSetupEndsItsArchiveAtTheCertificateTable) {
  Bytes exe = Join({testutil::FakePeImage(), Marker(), Payload});
  const Bytes table(200, 0xC5);
  const uint32_t tableAt = uint32_t(exe.size());
  exe.insert(exe.end(), table.begin(), table.end());
  // Unsigned, the table's bytes would belong to the archive.
  EXPECT_FALSE(Unpack(exe));
  testutil::SetCertificateTable(exe, tableAt, uint32_t(table.size()));
  EXPECT_TRUE(Unpack(exe));
  EXPECT_TRUE(Unpacked());
  // A table that would begin inside the image is no signature of ours: the
  // archive runs to the end of the file.
  exe.resize(tableAt);
  testutil::SetCertificateTable(exe, 100, uint32_t(table.size()));
  EXPECT_TRUE(Unpack(exe));
}

// A row per way a head can fail to name a certificate table. FakePeImage's
// optional header starts at 0x58, its security directory entry at 0xD8.
TEST(PeImageTest, OnlyAWholePe32OrPe32PlusHeaderNamesATable) {
  const struct {
    int line;
    size_t at;       // where value is put over FakePeImage(0x1000, 0x80), 32 bits
    uint32_t value;  // (both 0: nothing changed)
    size_t n;        // bytes of the head given
    bool found;
  } rows[] = {
      {__LINE__, 0, 0, 512, true},
      {__LINE__, 0, 0, 0xD8 + 8, true},  // ends with the entry
      {__LINE__, 0, 0, 0xD8 + 7, false},
      {__LINE__, 0, 'X' | 'Z' << 8, 512, false},
      {__LINE__, 0, 'M' | 'X' << 8, 512, false},
      {__LINE__, 0x40, 0x00014550, 512, false},  // no "PE\0\0"
      {__LINE__, 0x58, 0x107, 512, false},       // a ROM image
      {__LINE__, 0x58 + 92, 4, 512, false},      // four directories: no security one
      {__LINE__, 0x58 + 92, 5, 512, true},
      {__LINE__, 0xD8, 0, 512, false},           // a table at offset 0
      {__LINE__, 0xDC, 0, 512, false},           // of no bytes
  };
  for (const auto& r : rows) {
    Bytes head = testutil::FakePeImage(0x1000, 0x80);
    for (int i = 0; i < 4 && (r.at || r.value); ++i) head[r.at + i] = uint8_t(r.value >> (8 * i));
    uint32_t offset = 0, size = 0;
    EXPECT_EQ(PeCertificateTable(head.data(), r.n, &offset, &size), r.found) << "row at line " << r.line;
    EXPECT_TRUE(!r.found || (offset == 0x1000 && size == 0x80)) << "row at line " << r.line;
  }
  // PE32+: the wider image base and sizes put the directories 16 bytes on.
  Bytes plus = testutil::FakePeImage();
  plus[0x58] = 0x0B, plus[0x59] = 0x02;
  plus[0x58 + 108] = 16;
  plus[0x58 + 112 + 32] = 0x40, plus[0x58 + 112 + 36] = 0x20;
  uint32_t offset = 0, size = 0;
  EXPECT_TRUE(PeCertificateTable(plus.data(), 0x58 + 152, &offset, &size));
  EXPECT_EQ(offset, 0x40u);
  EXPECT_EQ(size, 0x20u);
  EXPECT_FALSE(PeCertificateTable(plus.data(), 0x58 + 151, &offset, &size));
}

TEST_F(PvUnZipTest, WithoutAMarkerACertificateTableCutsNothing) {
  Bytes exe = Join({testutil::FakePeImage(), Bytes(3 * 65536, 'x')});
  testutil::SetCertificateTable(exe, 1024, 200);
  WatchedFile = Dest() / "tempfile.$$$";
  EXPECT_FALSE(Unpack(exe));
  // The pump runs before each 64 KiB of the copy: it saw at least three.
  EXPECT_GE(WatchedSize, 3u * 65536);
#ifndef _WIN32
  // The copy is for the setup's eyes alone.
  EXPECT_EQ(WatchedPerms, fs::perms::owner_read | fs::perms::owner_write);
#endif
}

TEST_F(PvUnZipTest, ALinkInPlaceOfTheTemporaryFileIsNeverFollowed) {
  testutil::WriteFile(temp_ / "precious.txt", std::string("precious"));
  std::error_code error;
  fs::create_symlink(temp_ / "precious.txt", Dest() / "tempfile.$$$", error);
  if (error) GTEST_SKIP() << "no links can be made here: " << error.message();
  EXPECT_TRUE(Unpack(Join({Image(2), Marker(), Payload})));
  EXPECT_TRUE(Unpacked());
  EXPECT_EQ(testutil::ReadFile(temp_ / "precious.txt"), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
}

// Whoever can write in the destination: a second name of an outside file
// planted as the temporary copy, and a new file put at its name while the
// copy is made. The outside file stays as it was, and only the setup's own
// payload is unpacked.
TEST_F(PvUnZipTest, TheTemporaryCopyIsTheLocatorsOwn) {
  const Bytes evil = testutil::BuildArchive({testutil::TestRecord("evil.txt", Bytes(5, 'e'))});
  const struct { int line; bool planted, swapped; } rows[] = {
      {__LINE__, true, false},
      {__LINE__, false, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    fs::remove_all(Dest());
    fs::create_directory(Dest());
    const fs::path outside = temp_ / "precious.txt";
    testutil::WriteFile(outside, std::string("precious"));
    std::error_code error;
    if (r.planted) fs::create_hard_link(outside, Dest() / "tempfile.$$$", error);
    if (error) GTEST_SKIP() << "no hard links here: " << error.message();
    if (r.swapped) SwapPath = Dest() / "tempfile.$$$", SwapBytes = evil;
    EXPECT_TRUE(Unpack(Join({Image(2), Marker(), Payload})));
    EXPECT_TRUE(Unpacked());
    EXPECT_FALSE(fs::exists(Dest() / "evil.txt"));
    EXPECT_EQ(testutil::ReadFile(outside), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
#ifndef _WIN32
    EXPECT_EQ(SwapPath, fs::path()) << "the swap never came";
#else
    // On Windows the copy, open without sharing, can be neither removed
    // nor read by anyone else.
    EXPECT_EQ(OthersCouldRead, false);
#endif
  }
}

TEST_F(PvUnZipTest, IOFailuresGiveFalseWithoutCallingTheReader) {
  testutil::WriteFile(temp_ / "setup.exe", Join({Image(2), Marker(), Payload}));
  EXPECT_FALSE(UnpackPayloadFile((temp_ / "setup.exe").string(), (temp_ / "missing").string(),
                                 CountingPump));
  EXPECT_FALSE(fs::exists(temp_ / "missing"));
  EXPECT_FALSE(UnpackPayloadFile((temp_ / "no-such.exe").string(), Dest().string(), CountingPump));
  EXPECT_TRUE(fs::is_empty(Dest()));
}

// The copy is unscrambled and checked as it is made, 64 KiB at a time from
// the archive's first byte: the trailer, which is not scrambled, may be cut
// by a chunk's end, or the body end exactly at one. Every byte of the
// trailer counts.
TEST_F(PvUnZipTest, TheTrailerIsFoundWhereverTheCopysChunksCutIt) {
  for (const size_t length : {65537u, 65538u, 65539u, 65540u, 65536u + 5}) {
    SCOPED_TRACE(length);
    // Literals only, 9 bits a byte; then the name, a byte for a byte.
    Bytes data(length * 8 / 9 - 16, 'q'), archive;
    std::string name = "a";
    while ((archive = testutil::BuildArchive({testutil::TestRecord(name, data)})).size() > length)
      data.pop_back();
    name.append(length - archive.size(), 'a');
    archive = testutil::BuildArchive({testutil::TestRecord(name, data)});
    ASSERT_EQ(archive.size(), length);
    fs::remove_all(Dest());
    fs::create_directory(Dest());
    EXPECT_TRUE(Unpack(Join({Image(2), Marker(), archive})));
    EXPECT_EQ(testutil::ReadFile(Dest() / name), data);
    for (size_t at = length - 4; at < length; ++at) {
      fs::remove_all(Dest());
      fs::create_directory(Dest());
      Bytes damaged = archive;
      damaged[at] ^= 0x40;
      EXPECT_FALSE(Unpack(Join({Image(2), Marker(), damaged}))) << "trailer byte " << at;
      EXPECT_TRUE(fs::is_empty(Dest()));
    }
  }
}

}  // namespace
