#include <gtest/gtest.h>

#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/FileIo.h"
#include "tests/common/ExtractAt.h"
#include "tests/common/TestUtil.h"
#include "tools/pvpack/Pvpack.h"
#ifdef _WIN32
#include "winbase/Handles.h"
#endif

namespace fs = std::filesystem;
using testutil::Bytes;
using testutil::TestRecord;

namespace {

std::vector<std::pair<std::string, int32_t>> ProgressCalls;
void RecordProgress(const char* name, int32_t percent) { ProgressCalls.emplace_back(name, percent); }

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A scratch folder with the archive file in it and an empty destination.
class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(temp_ / "dest");
    ProgressCalls.clear();
  }
  int32_t Extract(const Bytes& archive, const std::string& destSuffix = "") {
    testutil::WriteFile(ArchivePath(), archive);
    return testutil::ExtractArchiveAt(ArchivePath().string().c_str(),
                                      (Dest().string() + destSuffix).c_str(), nullptr,
                                      RecordProgress);
  }
  fs::path ArchivePath() const { return temp_ / "payload.pvz"; }
  fs::path Dest() const { return temp_ / "dest"; }
  bool DestIsEmpty() const { return fs::is_empty(Dest()); }

  testutil::TempDir temp_;
};

const std::vector<TestRecord> Product = {
    TestRecord("readme.txt", Text("Welcome to the product.\r\n")),
    TestRecord("bin\\tool.exe", Bytes(10000, 0xE8)),
    TestRecord("docs\\en\\guide.htm", Text("<html>guide</html>"), 0x4A2C7C21, 0x21),  // read-only
    // Past 2038, where a 32-bit time_t ends.
    TestRecord("empty.dat", {}, 0xF05CBF7D /* 2100-02-28 23:59:58 */),
};

// Record times are local: CTest runs these tests three hours east of UTC
// without daylight saving (TZ=PVT-3), so a time taken as UTC shows.
TEST_F(ArchiveTest, WritesEveryFileWithItsTimeAndAttributes) {
  ASSERT_EQ(Extract(testutil::BuildArchive(Product)), ArcOk);
  auto tree = testutil::TreeContents(Dest());
  ASSERT_EQ(tree.size(), 4u);
  // 2025-04-15 09:00:00, 2017-01-12 12:33:02 and 2100-02-28 20:59:58 UTC.
  const int64_t utc[] = {1744707600, 1744707600, 1484224382, 4107531598};
  for (size_t i = 0; i < Product.size(); ++i) {
    const TestRecord& r = Product[i];
    std::string relative = r.name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    fs::path path = Dest() / relative;
    EXPECT_EQ(testutil::ReadFile(path), r.data) << r.name;
    EXPECT_EQ(testutil::LastWriteUnix(path), utc[i]) << r.name;
    uint32_t attributes = fileio::GetAttributes(path.string());
    EXPECT_EQ((attributes & fileio::AttrReadOnly) != 0, (r.attributes & 1) != 0) << r.name;
#ifndef _WIN32
    // Installed for every user, as far as the umask lets them read.
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0444, 0444 & ~mask) << r.name;
#endif
  }
  EXPECT_FALSE(fs::exists(ArchivePath())) << "the reader deletes the archive it read";

  // One call before each record and after each block it wrote, then 100.
  ASSERT_GE(ProgressCalls.size(), 5u);
  for (size_t i = 1; i < ProgressCalls.size(); ++i)
    EXPECT_GE(ProgressCalls[i].second, ProgressCalls[i - 1].second) << "call " << i;
  EXPECT_EQ(ProgressCalls.back().second, 100);
  EXPECT_NE(ProgressCalls.back().first.find("empty.dat"), std::string::npos);
}

TEST_F(ArchiveTest, TrailingBackslashesOnTheDestinationChangeNothing) {
  ASSERT_EQ(Extract(testutil::BuildArchive(Product), "\\\\"), ArcOk);
  EXPECT_EQ(testutil::TreeContents(Dest()).size(), 4u);
  EXPECT_EQ(ProgressCalls.front().first.find("\\\\"), std::string::npos);
}

TEST_F(ArchiveTest, AnEmptyBodySucceedsWithOneProgressCall) {
  ASSERT_EQ(Extract({0xFF, 0xFF, 0xFF, 0xFF}), ArcOk);
  EXPECT_TRUE(DestIsEmpty());
  ASSERT_EQ(ProgressCalls.size(), 1u);
  EXPECT_EQ(ProgressCalls[0], std::make_pair(std::string(), 100));
}

TEST_F(ArchiveTest, ProgressRoundsHalvesToEvenWithTheTrailerCounted) {
  // One record "a" of 136 bytes: its stream starts at byte 23 of 184, which
  // is 12.5% and rounds to 12 (without the trailer it would be 12.8%, 13).
  const TestRecord a("a", Bytes(136, 'x'));
  ASSERT_EQ(Extract(testutil::BuildArchive({a})), ArcOk);
  ASSERT_GE(ProgressCalls.size(), 2u);
  EXPECT_EQ(ProgressCalls.front(), std::make_pair(Dest().string() + "\\a", 12));
  EXPECT_EQ(ProgressCalls.back().second, 100);
  // An empty "b" behind it makes 211 bytes: "a" starts at 10.9%, which
  // rounds up, and "b" at byte 203, 96.2%.
  ProgressCalls.clear();
  ASSERT_EQ(Extract(testutil::BuildArchive({a, TestRecord("b", {})})), ArcOk);
  EXPECT_EQ(ProgressCalls.front().second, 11);
  EXPECT_EQ(ProgressCalls[ProgressCalls.size() - 2], std::make_pair(Dest().string() + "\\b", 96));
}

TEST_F(ArchiveTest, DamageAnywhereInTheBodyOrTrailerLeavesTheDestinationUntouched) {
  const Bytes good = testutil::BuildArchive({Product[0], Product[2]});
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    ASSERT_EQ(Extract(bad), ArcBadChecksum) << "flipped byte " << i;
    ASSERT_TRUE(DestIsEmpty()) << "flipped byte " << i;
  }
  for (size_t length = 0; length < good.size(); ++length) {
    ASSERT_EQ(Extract(Bytes(good.begin(), good.begin() + std::ptrdiff_t(length))), ArcBadChecksum)
        << "cut at " << length;
    ASSERT_TRUE(DestIsEmpty()) << "cut at " << length;
    ASSERT_FALSE(fs::exists(ArchivePath())) << "cut at " << length;
  }
}

TEST_F(ArchiveTest, RecordChecksFailAfterEarlierFilesAreWritten) {
  Bytes stream = testutil::LiteralStream(Text("abcdef"));
  struct Row {
    int line;
    TestRecord bad;
    int32_t expected;
  } rows[] = {
      {__LINE__, TestRecord("bad", Text("abcdef")).WithSize(5), ArcBadRecord},
      {__LINE__, TestRecord("bad", Text("abcdef")).WithCheck(0x1234), ArcBadRecord},
      // A stream cut short: the decoder runs out of input.
      {__LINE__, TestRecord("bad", Text("abcdef")).WithStream(Bytes(stream.begin(), stream.end() - 2)),
       ArcBadRecord},
      // A stream followed by more than one read's worth of spare bytes: the
      // decoder stops at the end code and leaves them unread.
      {__LINE__, TestRecord("bad", Text("abcdef")).WithStream([&] { Bytes s = stream; s.resize(s.size() + 3000); return s; }()),
       ArcBadRecord},
      // The empty-file rule holds only for a 4-byte stream of no data.
      {__LINE__, TestRecord("bad", {}).WithStream(Bytes{0, 6, 0x80}), ArcBadRecord},
      // Header errors of the stream.
      {__LINE__, TestRecord("bad", Text("x")).WithStream(Bytes{0, 9, 0, 0, 0, 0}), ArcBadRecord},
  };
  for (const Row& r : rows) {
    fs::remove_all(Dest());
    fs::create_directory(Dest());
    EXPECT_EQ(Extract(testutil::BuildArchive({Product[0], r.bad, Product[1]})), r.expected)
        << "row at line " << r.line;
    EXPECT_TRUE(fs::exists(Dest() / "readme.txt")) << "row at line " << r.line;
    EXPECT_FALSE(fs::exists(Dest() / "bin")) << "row at line " << r.line;
  }
}

TEST_F(ArchiveTest, AnEmptyFileIsAFourByteStream) {
  TestRecord empty("zero", {});
  ASSERT_EQ(testutil::LiteralStream({}).size(), 4u);
  ASSERT_EQ(Extract(testutil::BuildArchive({empty})), ArcOk);
  EXPECT_EQ(fs::file_size(Dest() / "zero"), 0u);
}

TEST_F(ArchiveTest, NamesThatWouldLeaveTheDestinationAreRejectedBeforeWriting) {
  const char* names[] = {
      "..\\evil.txt", "a\\..\\..\\evil.txt", "\\evil.txt", "C:\\evil.txt", "C:evil.txt",
      "\\\\server\\share\\evil.txt", ".. \\evil.txt", "a\\...\\evil.txt", "a/../../evil.txt",
      "/evil.txt", "file.txt:stream",
  };
  for (const char* name : names) {
    Bytes archive = testutil::BuildArchive({TestRecord(name, Text("owned"))});
    EXPECT_EQ(Extract(archive), ArcBadRecord) << name;
    EXPECT_TRUE(DestIsEmpty()) << name;
    EXPECT_FALSE(fs::exists(temp_ / "evil.txt")) << name;
  }
  // An empty name, and one with a NUL in it.
  EXPECT_EQ(Extract(testutil::BuildArchive({TestRecord("", Text("x"))})), ArcBadRecord);
  EXPECT_EQ(Extract(testutil::BuildArchive({TestRecord(std::string("a\0b", 3), Text("x"))})), ArcBadRecord);
  EXPECT_TRUE(DestIsEmpty());
  // Dots inside names are ordinary.
  EXPECT_EQ(Extract(testutil::BuildArchive({TestRecord("v1.2\\..name.txt", Text("ok"))})), ArcOk);
}

TEST_F(ArchiveTest, ARecordCutOffByTheTrailerWritesNothing) {
  Bytes body = testutil::ArchiveBody({TestRecord("big.bin", Bytes(100, 1))});
  body.resize(body.size() - 10);
  EXPECT_EQ(Extract(testutil::ArchiveFromBody(body)), ArcBadRecord);
  EXPECT_TRUE(DestIsEmpty());
  // Only part of a name.
  EXPECT_EQ(Extract(testutil::ArchiveFromBody({5, 0, 'a', 'b'})), ArcBadRecord);
  EXPECT_TRUE(DestIsEmpty());
}

// An old file is replaced, read-only or not; when it is a second name of a
// file elsewhere, that file keeps its contents and its read-only bit, and a
// read-only one stops the extraction, as its bit cannot change for one name.
TEST_F(ArchiveTest, AnExistingFileIsReplacedButNeverThroughASecondName) {
  const struct { int line; bool secondName, readOnly; int32_t result; } rows[] = {
      {__LINE__, false, true, ArcOk},
      {__LINE__, true, false, ArcOk},
      {__LINE__, true, true, ArcCannotCreate},
  };
  const std::string old = "old contents, longer than the new";
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    const fs::path file = Dest() / "readme.txt", outside = temp_ / "outside.txt";
    testutil::WriteFile(r.secondName ? outside : file, old);
    std::error_code error;
    if (r.secondName) fs::create_hard_link(outside, file, error);
    if (error) GTEST_SKIP() << "no hard links here: " << error.message();
    fileio::SetAttributes(file.string(), r.readOnly ? fileio::AttrReadOnly : 0);
    ASSERT_EQ(Extract(testutil::BuildArchive({Product[0]})), r.result);
    if (r.result == ArcOk) {
      EXPECT_EQ(testutil::ReadFile(file), Product[0].data);
      EXPECT_EQ(fileio::GetAttributes(file.string()) & fileio::AttrReadOnly, 0u);
    }
    if (r.secondName) {
      EXPECT_EQ(testutil::ReadFile(outside), Text(old));
      EXPECT_EQ(fileio::GetAttributes(outside.string()) & fileio::AttrReadOnly,
                r.readOnly ? fileio::AttrReadOnly : 0u);
    }
    for (const fs::path& f : {file, outside}) {
      fileio::SetAttributes(f.string(), 0);
      fs::remove(f, error);
    }
  }
}

TEST_F(ArchiveTest, AnOutputThatCannotBeCreatedStopsWithMinus2) {
  fs::create_directories(Dest() / "readme.txt");  // a directory in the way
  EXPECT_EQ(Extract(testutil::BuildArchive({Product[0]})), ArcCannotCreate);
  EXPECT_FALSE(fs::exists(ArchivePath()));
}

TEST_F(ArchiveTest, ArgumentFailures) {
  fs::create_directories(Dest());
  fileio::File destination;
  ASSERT_TRUE(destination.HoldDirectory(Dest().string()));
  EXPECT_EQ(ExtractArchiveFile(fileio::File(), destination, Dest().string().c_str(), nullptr,
                               nullptr),
            ArcCannotOpen);
  testutil::WriteFile(ArchivePath(), testutil::BuildArchive(Product));
  fileio::File archive;
  ASSERT_TRUE(archive.Open(ArchivePath().string(), fileio::OpenMode::ReadWrite));
  EXPECT_EQ(ExtractArchiveFile(std::move(archive), destination, nullptr, nullptr, nullptr),
            ArcCannotCreate);
  EXPECT_EQ(testutil::ReadFile(ArchivePath()), testutil::BuildArchive(Product))
      << "argument failures touch nothing";
}

TEST_F(ArchiveTest, AWrongKeyIsADamagedArchive) {
  testutil::WriteFile(ArchivePath(), testutil::BuildArchive(Product));
  EXPECT_EQ(testutil::ExtractArchiveAt(ArchivePath().string().c_str(), Dest().string().c_str(),
                                       "secret", nullptr),
            ArcBadChecksum);
  EXPECT_TRUE(DestIsEmpty());
}

// Post-install checks its copies of the system libraries against what their
// records declared, asked for by any case and either separator; only what
// the last extraction wrote is known.
TEST_F(ArchiveTest, WrittenRecordsAreKnownByAnyCaseAndSeparator) {
  const Bytes dll(300, 0x4D);
  ASSERT_EQ(Extract(testutil::BuildArchive({TestRecord("AzaZ\\x.dll", dll),
                                            TestRecord("b.txt", Text("b"))})),
            ArcOk);
  uint32_t size = 0, check = 0;
  EXPECT_TRUE(WrittenRecord("aZAz/X.DLL", &size, &check));
  EXPECT_EQ(size, 300u);
  EXPECT_EQ(check, testutil::CrcRegister(dll));
  for (const char* other : {"AzaZ\\x.dl", "AzaZ\\x.dlll", "AzaZ\\y.dll", "x.dll", "B.TXT "})
    EXPECT_FALSE(WrittenRecord(other, &size, &check)) << other;
  ASSERT_EQ(Extract(testutil::BuildArchive({TestRecord("c.txt", Text("c"))})), ArcOk);
  EXPECT_FALSE(WrittenRecord("b.txt", &size, &check));
  EXPECT_TRUE(WrittenRecord("C.txt", &size, &check));
}

// A head is the name, counted in 16 bits, then the five fields in order.
TEST(RecordHeadTest, NamesOf1To65535BytesOnly) {
  const FileRecordHeader header{0x04030201, 5, 0x20, 9, 0xA0B0C0D0};
  Bytes head;
  ASSERT_TRUE(AppendRecordHead(head, "a\\b", header));
  EXPECT_EQ(head, Bytes({3, 0, 'a', '\\', 'b', 1, 2, 3, 4, 5, 0, 0, 0, 0x20, 0, 0, 0, 9, 0, 0, 0,
                         0xD0, 0xC0, 0xB0, 0xA0}));
  EXPECT_FALSE(AppendRecordHead(head, "", header));
  EXPECT_FALSE(AppendRecordHead(head, std::string(65536, 'n'), header));
  ASSERT_EQ(head.size(), 25u) << "a refused name appends nothing";
  ASSERT_TRUE(AppendRecordHead(head, std::string(65535, 'n'), header));
  EXPECT_EQ(head.size(), 25u + 2 + 65535 + 20);
  EXPECT_EQ(head[25], 0xFF);
  EXPECT_EQ(head[26], 0xFF);
}

TEST(RecordSplitTest, AStreamOf2GiBOrMoreIsNoRecordWhateverTheBodyHolds) {
  // NameLength 1, name "a", then the fixed fields with PackedSize at 14.
  uint8_t bytes[23] = {1, 0, 'a'};
  RecordHead head;
  for (uint32_t packed : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    std::memcpy(bytes + 3 + 12, &packed, 4);
    EXPECT_EQ(SplitRecord(bytes, sizeof bytes, 0, int64_t(1) << 33, head),
              packed == 0x7FFFFFFFu ? ArcOk : ArcBadRecord)
        << packed;
  }
}

// A time outside the DOS range is held at its nearer end, whichever way it
// comes in: as a calendar time, as seconds (pack's SOURCE_DATE_EPOCH) or
// from a file's own time.
TEST(DosTimeTest, EachTimeHasOneRecordValueAndTheRangeEndsHold) {
  constexpr uint32_t Y2024 = uint32_t(2024 - 1980) << 25 | 2u << 21 | 29u << 16;
  const struct {
    int line;
    CivilTime time;
    uint32_t dos;
  } rows[] = {
      {__LINE__, {2024, 2, 29, 13, 45, 59}, Y2024 | 13u << 11 | 45u << 5 | 29u},
      {__LINE__, {1980, 1, 1, 0, 0, 0}, FirstDosTime},
      {__LINE__, {1979, 12, 31, 23, 59, 59}, FirstDosTime},
      {__LINE__, {2107, 12, 31, 23, 59, 59}, LastDosTime},
      {__LINE__, {2108, 1, 1, 0, 0, 0}, LastDosTime},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(DosTimeOf(r.time), r.dos) << "row at line " << r.line;
    CivilTime back;
    EXPECT_TRUE(CivilTimeOf(r.dos, back)) << "row at line " << r.line;
  }
  EXPECT_EQ(fileio::DosTimeOfSeconds(int64_t(7258118400)), LastDosTime);  // 2200
  EXPECT_EQ(fileio::DosTimeOfSeconds(-86400 * 365), FirstDosTime);         // 1969
  testutil::TempDir temp;
  const fs::path path = temp.path() / "late";
  testutil::WriteFile(path, std::string("x"));
  // Directly: a 32-bit build's standard library may set times in 32 bits.
#ifdef _WIN32
  const uint64_t ticks = (uint64_t(7258118400) + 11644473600u) * 10000000u;  // 2200, from 1601
  const FILETIME when = {DWORD(ticks), DWORD(ticks >> 32)};
  handles::UniqueFile late(CreateFileA(path.string().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(late && SetFileTime(late.get(), nullptr, nullptr, &when));
  late.reset();
#else
  const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(7258118400), 0}};  // 2200
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
#endif
  fileio::File file;
  ASSERT_TRUE(file.Open(path.string(), fileio::OpenMode::ReadShared));
  EXPECT_EQ(file.GetDosTime(), LastDosTime);
  CivilTime none;
  EXPECT_FALSE(CivilTimeOf(Y2024 & ~(15u << 21), none));  // month 0
}

// Links planted by whoever could write below the destination before the
// setup ran. Natively these are POSIX links, which open, truncate and
// delete through just as Windows' file links do; under Wine the directory
// links show as reparse points.
TEST_F(ArchiveTest, LinksBelowTheDestinationAreReplacedNeverFollowed) {
  fs::create_directories(temp_ / "outside");
  testutil::WriteFile(temp_ / "outside" / "guide.htm", std::string("precious"));
  testutil::WriteFile(temp_ / "outside.exe", std::string("precious too"));
  fs::create_directory(Dest() / "docs");
  std::error_code e1, e2, e3;
  fs::create_directory_symlink(temp_ / "outside", Dest() / "bin", e1);
  fs::create_directory_symlink(temp_ / "outside", Dest() / "docs" / "en", e2);
  fs::create_symlink(temp_ / "outside.exe", Dest() / "readme.txt", e3);
  if (e1 || e2 || e3) GTEST_SKIP() << "no links can be made here: " << e1.message();

  // The file layer itself never writes through a link.
  fileio::File file;
  EXPECT_FALSE(file.Open((Dest() / "readme.txt").string(), fileio::OpenMode::Create));
  EXPECT_FALSE(file.Open((Dest() / "readme.txt").string(), fileio::OpenMode::ReadWrite));
  EXPECT_FALSE(file.OpenDirectory((Dest() / "bin").string()));
  // Nor takes a link to a file for a folder, or the other way round.
  EXPECT_EQ(fileio::GetAttributes((Dest() / "readme.txt").string()) & fileio::AttrDirectory, 0u);
  EXPECT_NE(fileio::GetAttributes((Dest() / "bin").string()) & fileio::AttrDirectory, 0u);

  ASSERT_EQ(Extract(testutil::BuildArchive(Product)), ArcOk);
  EXPECT_EQ(testutil::TreeContents(temp_ / "outside").size(), 1u);
  EXPECT_EQ(testutil::ReadFile(temp_ / "outside" / "guide.htm"), Text("precious"));
  EXPECT_EQ(testutil::ReadFile(temp_ / "outside.exe"), Text("precious too"));
  for (const char* name : {"bin", "docs/en", "readme.txt"})
    EXPECT_FALSE(fs::is_symlink(Dest() / name)) << name;
  EXPECT_EQ(testutil::TreeContents(Dest()).size(), 4u);
}

// Once armed, fails every read or every write of an open file, as a failing
// disk would. The first progress call, made before the first record is
// decoded, arms it.
bool FaultArmed = false, FaultOnWrite = false;
bool FailWhenArmed(bool isWrite) { return FaultArmed && isWrite == FaultOnWrite; }
void ArmFault(const char*, int32_t) { FaultArmed = true; }

TEST_F(ArchiveTest, AFailedPackedReadOrOutputWriteIsMinus3) {
  // 100000 bytes: more than a read-ahead block, so the packed stream is
  // still being read when decoding starts, and an output block is written
  // before the end; 1000 bytes are written only at the end.
  const struct {
    int line;
    bool onWrite;
    size_t size;
  } rows[] = {{__LINE__, false, 100000}, {__LINE__, true, 100000}, {__LINE__, true, 1000}};
  for (const auto& r : rows) {
    testutil::WriteFile(ArchivePath(), testutil::BuildArchive({TestRecord("a.dat", Bytes(r.size, 'a'))}));
    FaultArmed = false;
    FaultOnWrite = r.onWrite;
    fileio::InjectFault = FailWhenArmed;
    int32_t result = testutil::ExtractArchiveAt(ArchivePath().string().c_str(),
                                                Dest().string().c_str(), nullptr, ArmFault);
    fileio::InjectFault = nullptr;
    EXPECT_EQ(result, ArcIoError) << "row at line " << r.line;
  }
}

// Largest file size seen by the progress calls, and how many came.
uintmax_t LargestSeen = 0;
size_t ProgressCount = 0;
void WatchSize(const char* name, int32_t) {
  ++ProgressCount;
  std::string path = name;
#ifndef _WIN32
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  if (!error) LargestSeen = std::max(LargestSeen, size);
}

// A record that decodes past its Size is refused as soon as it passes it,
// by every reader, and no more than Size bytes are ever written: one that
// says 10 bytes and decodes to 2^32 + 10, its check value over all of them
// (a count in 32 bits would call it sound), and one that says 1 byte and
// decodes to 200 MB.
TEST_F(ArchiveTest, NothingPastARecordsSize) {
  const struct {
    int line;
    TestRecord record;
  } rows[] = {
      {__LINE__, TestRecord("readme.txt", {}).WithStream(testutil::ZeroStream(8291442, true)).WithSize(10).WithCheck(0x94784E13)},
      {__LINE__, TestRecord("readme.txt", {}).WithStream(testutil::ZeroStream(386101)).WithSize(1).WithCheck(0x2DFD1072)},  // one zero byte
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    const Bytes archive = testutil::BuildArchive({r.record});
    LargestSeen = ProgressCount = 0;
    testutil::WriteFile(ArchivePath(), archive);
    EXPECT_EQ(testutil::ExtractArchiveAt(ArchivePath().string().c_str(), Dest().string().c_str(),
                                         nullptr, WatchSize),
              ArcBadRecord);
    EXPECT_LE(LargestSeen, uintmax_t(r.record.size));
    // A call for each block written: the decoder stopped within
    // the input it held, not at the end of the stream.
    EXPECT_LT(ProgressCount, 1000u);
    EXPECT_TRUE(DestIsEmpty());

    testutil::WriteFile(ArchivePath(), archive);
    pvpack::Totals totals;
    EXPECT_EQ(pvpack::Verify(ArchivePath().string(), nullptr, totals).failure,
              pvpack::Failure::BadRecord);
    EXPECT_EQ(pvpack::Extract(ArchivePath().string(), Dest().string(), nullptr, {}, totals).failure,
              pvpack::Failure::BadRecord);
    EXPECT_TRUE(DestIsEmpty());
  }
}

#ifndef _WIN32  // 2 GiB through Wine's file layer would take minutes
TEST_F(ArchiveTest, ARecordOf2GiBOrMoreIsCountedWithoutOverflow) {
  constexpr uint32_t Copies = 4145725;
  constexpr uint32_t Size = 1 + 518 * Copies;  // 2^31 + 1903
  TestRecord big("big.dat", {});
  big.WithStream(testutil::ZeroStream(Copies)).WithSize(Size).WithCheck(0xA15597AF);  // register of Size zeros
  ASSERT_EQ(Size, 2147485551u);
  testutil::WriteFile(ArchivePath(), testutil::BuildArchive({big}));
  // Into memory where the system offers it: 2 GiB through a disk is slow.
  std::string dest = (fs::exists("/dev/shm") ? std::string("/dev/shm") : temp_.str()) + "/pv-XXXXXX";
  ASSERT_TRUE(mkdtemp(dest.data()));
  struct Remove {
    std::string dir;
    ~Remove() { fs::remove_all(dir); }
  } remove{dest};
  EXPECT_EQ(
      testutil::ExtractArchiveAt(ArchivePath().string().c_str(), dest.c_str(), nullptr, nullptr),
      ArcOk);
  EXPECT_EQ(fs::file_size(dest + "/big.dat"), Size);
}
#endif

// The rules of names over whole archives: each row's records, and those at
// fault.
TEST(NameRulesTest, EachRecordAtFaultIsGiven) {
  const struct {
    int line;
    std::vector<std::string> names;
    std::vector<size_t> faulted;
  } rows[] = {
      {__LINE__, {"Help\\CON", "NUL.txt", "con .txt", "a/Aux.Bak.txt", "Prn."}, {0, 1, 2, 3, 4}},
      {__LINE__, {"COM0.log", "lpt9", "COM\xB9.txt", "LPT\xB3", "CONIN$", "conout$.x", "CLOCK$"},
       {0, 1, 2, 3, 4, 5, 6}},
      {__LINE__, {"COM10", "CONSOLE", "LPT", "COM\xB4", "xcon", "nul_", "COM1x"}, {}},
      {__LINE__, {"tempfile.$$$", "TEMPFILE.$$$ .", "TempFile.$$$\\x", "a\\tempfile.$$$"}, {0, 1, 2}},
      {__LINE__, {"a.txt", "A.TXT", "a.txt", "b. ", "b", "d\\e", "D/E"}, {1, 2, 4, 6}},
      // Letters of code page 1252: e and E acute, y and Y diaeresis, s and
      // S caron; the division and multiplication signs are no pair.
      {__LINE__, {"\xE9t\xE9", "\xC9T\xC9", "\xFF", "\x9F", "\x9A", "\x8A", "\xF7", "\xD7"}, {1, 3, 5}},
      {__LINE__, {"x\\y.txt", "x", "z", "Z\\w.txt", "q\\r\\s", "Q\\R"}, {1, 3, 5}},
      {__LINE__, {"say \"hi\".txt", "a|b", "q?", "tab\there", "dir\\", "..\\up", "c:x"}, {0, 1, 2, 3, 4, 5, 6}},
      {__LINE__, {"readme.txt", "bin\\tool.exe", "bin\\Tool2.exe", "x.y\\z", "con2\\com", "..a"}, {}},
  };
  for (const auto& r : rows) {
    std::vector<RecordHead> records(r.names.size());
    for (size_t i = 0; i < r.names.size(); ++i) records[i].name = r.names[i];
    std::vector<size_t> faulted;
    for (const RecordFault& fault : RecordFaults(records)) faulted.push_back(fault.index);
    EXPECT_EQ(faulted, r.faulted) << "row at line " << r.line;
  }
}

}  // namespace
