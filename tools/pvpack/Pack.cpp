#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>

#ifdef _WIN32
#include <windows.h>
#endif

#include "archive/Encript.h"
#include "archive/FileIo.h"
#include "archive/PeImage.h"
#include "archive/PvUnZip.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Implode.h"

namespace fs = std::filesystem;

namespace pack {
namespace {

void Put16(Bytes& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Feeds one packed stream to the decoder and measures what comes out.
struct DecodeRun {
  DecodeRun(const uint8_t* data, size_t size) : in(data), left(size) {}
  const uint8_t* in;
  size_t left;
  size_t consumed = 0;
  uint64_t produced = 0;
  uint32_t crc = 0xFFFFFFFFu;

  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    uint32_t n = uint32_t(std::min<size_t>(run->left, *size));
    if (n) std::memcpy(buffer, run->in, n);
    run->in += n;
    run->left -= n;
    run->consumed += n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    run->crc = UpdateCrc32(buffer, size, &run->crc);
    run->produced += *size;
  }
};

}  // namespace

bool ReadFileBytes(const std::string& path, Bytes& data) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  data.resize(size_t(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), size);
  return in.gcount() == size;
}

uint32_t CheckValue(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  // UpdateCrc32 takes a 32-bit count; feed large buffers in slices.
  while (size > 0) {
    uint32_t n = uint32_t(std::min<size_t>(size, 1u << 30));
    crc = UpdateCrc32(data, &n, &crc);
    data += n;
    size -= n;
  }
  return crc;
}

void AppendRecord(const SourceFile& file, Bytes& body) {
  Bytes stream = implode::ImplodeSmallest(file.data.data(), file.data.size());
  Put16(body, uint16_t(file.name.size()));
  body.insert(body.end(), file.name.begin(), file.name.end());
  Put32(body, file.dosDateTime);
  Put32(body, uint32_t(file.data.size()));
  Put32(body, file.attributes);
  Put32(body, uint32_t(stream.size()));
  Put32(body, CheckValue(file.data.data(), file.data.size()));
  body.insert(body.end(), stream.begin(), stream.end());
}

Bytes FinishArchive(Bytes body) {
  uint32_t check = CheckValue(body.data(), body.size());
  SetKey("");
  for (size_t done = 0; done < body.size();) {
    int32_t n = int32_t(std::min<size_t>(body.size() - done, size_t(1) << 30));
    CryptBuffer(body.data() + done, n);
    done += size_t(n);
  }
  Put32(body, check);
  return body;
}

namespace {

// The last DOS time, 2107-12-31 23:59:58.
constexpr uint32_t LastDosTime = (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
constexpr uint32_t FirstDosTime = (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00

// The same conversion as the file layer's File::GetDosTime, so that a time
// held back to latestTime and an untouched one read alike.
uint32_t DosTimeOf(int64_t seconds) {
#ifdef _WIN32
  constexpr int64_t From1601 = 11644473600;  // seconds from 1601 (FILETIME's origin) to 1970
  if (seconds < 0) return FirstDosTime;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = uint64_t(seconds + From1601) * 10000000u;
  FILETIME utc = {ticks.LowPart, ticks.HighPart}, local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local)) return FirstDosTime;
  if (!FileTimeToDosDateTime(&local, &date, &time))
    return seconds < 4102444800 ? FirstDosTime : LastDosTime;  // before or after 2100
  return uint32_t(date) << 16 | time;
#else
  if (seconds > int64_t(std::numeric_limits<time_t>::max())) return LastDosTime;
  const time_t when = time_t(seconds);
  struct tm t;
  if (!localtime_r(&when, &t)) return LastDosTime;  // only a year beyond int fails
  if (t.tm_year < 80) return FirstDosTime;
  if (t.tm_year > 80 + 127) return LastDosTime;
  uint32_t date = uint32_t(t.tm_year - 80) << 9 | uint32_t(t.tm_mon + 1) << 5 | uint32_t(t.tm_mday);
  uint32_t time = uint32_t(t.tm_hour) << 11 | uint32_t(t.tm_min) << 5 | uint32_t(t.tm_sec / 2);
  return date << 16 | time;
#endif
}

const char* KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    default: return "of an unknown kind";
  }
}

// Walks a product tree. Every folder on the way down is held by its
// canonical path, so a link back to one of them (which would repeat the
// tree forever) is seen; a link to any other folder is simply followed.
struct TreeWalk {
  struct Open {
    fs::path canonical;
    std::string shown;
  };
  struct Found {
    std::string name;  // record name
    fs::path real;     // the file itself, past any links
    std::string shown;
    bool operator<(const Found& other) const { return name < other.name; }
  };
  std::vector<Open> open;  // the folders being walked, outermost first
  std::vector<Found> found;
  std::string error;

  // Walks dir, whose records are named prefix + their name below it.
  bool Walk(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      entries.push_back(it->path());
    if (ec) return Fail(dir.string() + ": " + ec.message());
    // Name order, so that the first problem reported is the same on every run.
    std::sort(entries.begin(), entries.end());
    for (const fs::path& path : entries) {
      const std::string shown = path.string();
      const std::string name = prefix + path.filename().string();
      // canonical follows every link on the way and fails on one to nothing
      // (or a chain of links that never ends).
      const fs::path real = fs::canonical(path, ec);
      if (ec) {
        std::error_code linkError;
        if (fs::is_symlink(fs::symlink_status(path, linkError)))
          return Fail(shown + ": a link that leads nowhere (" + ec.message() + ")");
        return Fail(shown + ": " + ec.message());
      }
      const fs::file_status status = fs::status(real, ec);
      if (ec) return Fail(shown + ": " + ec.message());
      if (fs::is_regular_file(status)) {
        found.push_back({name, real, shown});
      } else if (fs::is_directory(status)) {
        for (const Open& o : open)
          if (o.canonical == real)
            return Fail(shown + ": a link back to " + o.shown + ", a folder that holds it");
        open.push_back({real, shown});
        if (!Walk(path, name + "\\")) return false;
        open.pop_back();
      } else {
        return Fail(shown + ": " + KindOf(status.type()) + ", neither a file nor a folder");
      }
    }
    return true;
  }

  bool Fail(std::string message) {
    error = std::move(message);
    return false;
  }
};

}  // namespace

bool CollectTree(const std::string& dir, std::vector<SourceFile>& files, std::string& error,
                 std::optional<int64_t> latestTime) {
  std::error_code ec;
  const fs::path root(dir);
  if (!fs::is_directory(root, ec)) {
    error = dir + ": not a directory";
    return false;
  }
  TreeWalk walk;
  walk.open.push_back({fs::canonical(root, ec), dir});
  if (ec || !walk.Walk(root, "")) {
    error = ec ? dir + ": " + ec.message() : walk.error;
    return false;
  }
  std::sort(walk.found.begin(), walk.found.end());
  for (const TreeWalk::Found& found : walk.found) {
    const std::string& name = found.name;
    const std::string& shown = found.shown;
    const std::string path = found.real.string();
    if (name.size() > 0xFFFF || !IsSafeRecordName(name.data(), uint32_t(name.size()))) {
      error = shown + ": this name cannot be stored";
      return false;
    }
    SourceFile file;
    file.name = name;
    if (!ReadFileBytes(path, file.data)) {
      error = shown + ": cannot read";
      return false;
    }
    if (file.data.size() > 0xFFFFFFFFu) {
      error = shown + ": larger than 4 GB";
      return false;
    }
    // The time and attributes of the file itself, not of a link to it.
    const auto written = fs::last_write_time(found.real, ec);
    const int64_t seconds = ec ? 0 : std::chrono::floor<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(written)).time_since_epoch().count();
    if (latestTime && seconds > *latestTime) {
      file.dosDateTime = DosTimeOf(*latestTime);
    } else {
      fileio::File f;
      f.Open(path, fileio::OpenMode::ReadShared);
      file.dosDateTime = f.GetDosTime();
    }
    uint32_t attributes = fileio::GetAttributes(path);
    attributes &= fileio::AttrReadOnly | fileio::AttrHidden | fileio::AttrSystem |
                  fileio::AttrArchive;
    file.attributes = attributes ? attributes : fileio::AttrNormal;
    files.push_back(std::move(file));
  }
  return true;
}

int32_t ReadRecords(const Bytes& archive, Bytes& body, std::vector<Record>& records) {
  if (archive.size() < 4) return ArcBadChecksum;
  body.assign(archive.begin(), archive.end() - 4);
  SetKey("");
  for (size_t done = 0; done < body.size();) {
    int32_t n = int32_t(std::min<size_t>(body.size() - done, size_t(1) << 30));
    CryptBuffer(body.data() + done, n);
    done += size_t(n);
  }
  if (CheckValue(body.data(), body.size()) != Get32(archive.data() + body.size()))
    return ArcBadChecksum;

  records.clear();
  for (size_t pos = 0; pos < body.size();) {
    RecordHead head;
    int32_t result = SplitRecord(body.data() + pos, body.size() - pos, int64_t(pos),
                                 int64_t(body.size()), head);
    if (result != ArcOk) return result;
    size_t streamOffset = size_t(head.streamStart);
    pos = streamOffset + head.header.PackedSize;
    records.push_back({std::move(head.name), head.header, streamOffset});
  }
  return ArcOk;
}

int32_t VerifyRecords(const Bytes& body, const std::vector<Record>& records,
                      std::string& failedName) {
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  for (const Record& r : records) {
    DecodeRun run(body.data() + r.streamOffset, r.header.PackedSize);
    uint32_t result = DclDecompress(DecodeRun::Read, DecodeRun::Write, workArea, &run);
    if (!AcceptDecodedRecord(r.header, result, uint32_t(run.consumed), uint32_t(run.produced),
                             run.crc)) {
      failedName = r.name;
      return ArcBadRecord;
    }
  }
  return ArcOk;
}

Bytes ArchiveOf(const Bytes& file, bool& markerFound) {
  markerFound = false;
  // Only an executable is taken for a setup; anything else is an archive.
  if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z') return file;
  int64_t start = MarkerEnd(file.data(), file.size());
  if (start < 0) return file;
  markerFound = true;
  int64_t end = ArchiveEnd(file.data(), std::min(file.size(), PeHeaderBytes), start,
                           int64_t(file.size()));
  return Bytes(file.begin() + std::ptrdiff_t(start), file.begin() + std::ptrdiff_t(end));
}

int32_t MakeSetup(const Bytes& stub, const Bytes& archive, Bytes& out, std::string& error) {
  bool hasMarker = false;
  ArchiveOf(stub, hasMarker);
  uint32_t offset = 0, size = 0;
  if (stub.size() < 2 || stub[0] != 'M' || stub[1] != 'Z') {
    error = "the stub is not a Windows executable";
    return -1;
  }
  if (hasMarker) {
    error = "the stub already carries a payload; use the bare setup-stub.exe";
    return -1;
  }
  if (PeCertificateTable(stub.data(), std::min(stub.size(), PeHeaderBytes), &offset, &size)) {
    error = "the stub is signed; sign the finished setup instead, after pvpack setup";
    return -1;
  }
  // Signing tools pad a file to a multiple of 8 bytes before they append the
  // certificate table, and that padding would become part of the archive.
  // Filler between stub and marker makes the finished file need none.
  size_t total = stub.size() + PayloadMarker.size() + archive.size();
  size_t filler = (8 - total % 8) % 8;
  out = stub;
  out.insert(out.end(), filler, 0);
  out.insert(out.end(), PayloadMarker.begin(), PayloadMarker.end());
  out.insert(out.end(), archive.begin(), archive.end());
  return 0;
}

}  // namespace pack
