// The inputs and outputs of pvpack's commands: whole files, standard input
// and output, and temporary copies.
#include "tools/pvpack/Input.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pvpack {

std::string NotAFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = pack::StatusOf(path, true, ec);
  if (ec) return "cannot read (" + ec.message() + ")";
  switch (status.type()) {
    case fs::file_type::regular:
    case fs::file_type::fifo: return "";
    case fs::file_type::directory: return "a folder, not a file";
    case fs::file_type::block:
    case fs::file_type::character: return "a device, not a file";
    case fs::file_type::socket: return "a socket, not a file";
    default: return "not a file";
  }
}

bool OpenInput(const std::string& path, uint64_t limit, InputStream& in, Fault& fault) {
  in.shown = path == "-" ? "standard input" : path;
  in.file = stdin;
  in.owned.reset();
  in.limit = limit;
  in.read = 0;
  in.expected = 0;
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#else
    // A device such as /dev/zero would run on until the limit; a terminal
    // is typed into and ends.
    struct stat status;
    if (fstat(0, &status) == 0 && (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) &&
        !isatty(0)) {
      fault = {in.shown, "a device, not a file"};
      return false;
    }
#endif
    return true;
  }
  if (const std::string why = NotAFile(path); !why.empty()) {
    fault = {path, why};
    return false;
  }
  std::error_code ec;
  uintmax_t size = 0;
  pack::StatusOf(path, true, ec, &size);
  in.expected = ec ? 0 : uint64_t(size);
  if (in.expected > limit) {
    fault = {path, std::to_string(in.expected) + " bytes, more than a setup can hold"};
    return false;
  }
  in.owned.reset(std::fopen(path.c_str(), "rb"));
  if (!in.owned) {
    fault = {path, std::string("cannot read (") + std::strerror(errno) + ")"};
    return false;
  }
  in.file = in.owned.get();
  return true;
}

bool ReadSome(InputStream& in, uint8_t* buffer, size_t size, size_t& got, Fault& fault) {
  got = std::fread(buffer, 1, size, in.file);
  if (in.read + got > in.limit) {
    fault = {in.shown, "more than " + std::to_string(in.limit) + " bytes, more than a setup can hold"};
    return false;
  }
  in.read += got;
  if (got < size && std::ferror(in.file)) {
    fault = {in.shown, "cannot read (" + ErrnoReason(errno) + ")"};
    return false;
  }
  return true;
}

bool ReadInput(const std::string& path, uint64_t limit, Bytes& data, InputFile& input,
               Fault& fault) {
  InputStream in;
  if (!OpenInput(path, limit, in, fault)) return false;
  input = {IdOf(in.file), in.shown};
  data.clear();
  // A size_t of 32 bits holds a size up to 4 GiB, but no vector of more
  // than about 2 GiB: refused by name here, not by an exception later.
  const uint64_t most = uint64_t(std::min<size_t>(data.max_size(), PTRDIFF_MAX));
  if (in.expected > most) {
    fault = {in.shown, std::to_string(in.expected) + " bytes, more than this " +
                           std::to_string(sizeof(void*) * 8) + "-bit build can hold in memory"};
    return false;
  }
  try {
    data.reserve(size_t(in.expected));
    Bytes block(size_t(1) << 20);
    for (;;) {
      size_t n = 0;
      if (!ReadSome(in, block.data(), block.size(), n, fault)) return false;
      if (data.size() + n > most) {
        fault = {in.shown, "more than this " + std::to_string(sizeof(void*) * 8) +
                               "-bit build can hold in memory"};
        return false;
      }
      data.insert(data.end(), block.begin(), block.begin() + std::ptrdiff_t(n));
      if (n < block.size()) break;
    }
  } catch (const std::bad_alloc&) {
    fault = {in.shown, "too large to read into memory"};
    return false;
  }
  return true;
}

bool ReadAt(std::FILE* file, uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
  got = 0;
  while (got < size) {
#ifdef _WIN32
    // A synchronous handle reads at the offset given and waits; the
    // handle's own position, which the stream does not rely on between
    // seeks, moves.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + got);
    at.OffsetHigh = DWORD((offset + got) >> 32);
    DWORD n = 0;
    const DWORD want = DWORD(std::min<size_t>(size - got, 1u << 30));
    if (!ReadFile(handle, buffer + got, want, &n, &at)) return GetLastError() == ERROR_HANDLE_EOF;
#else
    const ssize_t n = pread(fileno(file), buffer + got, size - got, off_t(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
#endif
    if (n == 0) break;
    got += size_t(n);
  }
  return true;
}

}  // namespace pvpack
