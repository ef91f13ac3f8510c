#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

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

bool CollectTree(const std::string& dir, std::vector<SourceFile>& files, std::string& error) {
  std::error_code ec;
  const fs::path root(dir);
  if (!fs::is_directory(root, ec)) {
    error = dir + ": not a directory";
    return false;
  }
  std::vector<std::pair<std::string, fs::path>> found;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = fs::relative(it->path(), root, ec).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    found.emplace_back(std::move(name), it->path());
  }
  if (ec) {
    error = dir + ": " + ec.message();
    return false;
  }
  std::sort(found.begin(), found.end());
  for (auto& [name, path] : found) {
    if (name.size() > 0xFFFF || !IsSafeRecordName(name.data(), uint32_t(name.size()))) {
      error = name + ": this name cannot be stored";
      return false;
    }
    SourceFile file;
    file.name = name;
    if (!ReadFileBytes(path.string(), file.data)) {
      error = path.string() + ": cannot read";
      return false;
    }
    if (file.data.size() > 0xFFFFFFFFu) {
      error = name + ": larger than 4 GB";
      return false;
    }
    fileio::File f;
    f.Open(path.string(), fileio::OpenMode::ReadShared);
    file.dosDateTime = f.GetDosTime();
    uint32_t attributes = fileio::GetAttributes(path.string());
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
    Record r;
    size_t nameLength = body.size() - pos >= 2 ? body[pos] | body[pos + 1] << 8 : 0;
    size_t streamOffset = pos + 2 + nameLength + sizeof(FileRecordHeader);
    if (streamOffset > body.size()) return ArcBadRecord;
    r.name.assign(reinterpret_cast<const char*>(&body[pos + 2]), nameLength);
    std::memcpy(&r.header, &body[pos + 2 + nameLength], sizeof r.header);
    r.streamOffset = streamOffset;
    if (r.header.PackedSize > body.size() - streamOffset ||
        !IsSafeRecordName(r.name.data(), uint32_t(nameLength)))
      return ArcBadRecord;
    pos = streamOffset + r.header.PackedSize;
    records.push_back(std::move(r));
  }
  return ArcOk;
}

int32_t VerifyRecords(const Bytes& body, const std::vector<Record>& records,
                      std::string& failedName) {
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  for (const Record& r : records) {
    DecodeRun run(body.data() + r.streamOffset, r.header.PackedSize);
    uint32_t result = DclDecompress(DecodeRun::Read, DecodeRun::Write, workArea, &run);
    if (r.header.Size == 0 && r.header.PackedSize == 4 && result == DclInputTooShort)
      result = DclOk;
    if (result != DclOk || run.consumed != r.header.PackedSize ||
        run.produced != r.header.Size || run.crc != r.header.Check) {
      failedName = r.name;
      return ArcBadRecord;
    }
  }
  return ArcOk;
}

bool CertificateTable(const Bytes& file, uint32_t& offset, uint32_t& size) {
  return PeCertificateTable(file.data(), std::min(file.size(), PeHeaderBytes), &offset, &size);
}

Bytes ArchiveOf(const Bytes& file, bool& markerFound) {
  markerFound = false;
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') {
    auto hit = std::search(file.begin(), file.end(), PayloadMarker.begin(), PayloadMarker.end());
    if (hit != file.end()) {
      markerFound = true;
      size_t start = size_t(hit - file.begin()) + PayloadMarker.size();
      size_t end = file.size();
      uint32_t offset = 0, size = 0;
      if (CertificateTable(file, offset, size) && offset >= start && uint64_t(offset) + size <= end)
        end = offset;
      return Bytes(file.begin() + std::ptrdiff_t(start), file.begin() + std::ptrdiff_t(end));
    }
  }
  return file;
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
  if (CertificateTable(stub, offset, size)) {
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
