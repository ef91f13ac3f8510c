// libFuzzer target: pvpack's list and verify commands over arbitrary files
// (archives or setup executables), through the tool's own main, which the
// build compiles in as PvpackMain.
//
// Input: one control byte, then the file. An odd control byte takes the
// file as a plain archive body and seals it here, so that mutations reach
// the records. Both commands read the file alike, so they must agree: list
// fails exactly where verify fails before decoding, with the same status,
// and verify adds only the status of a damaged record.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "fuzz/FuzzUtil.h"

int PvpackMain(int argc, char** argv);

namespace {

int Pvpack(std::string command, std::string path) {
  std::string tool = "pvpack";
  char* argv[] = {tool.data(), command.data(), path.data(), nullptr};
  return PvpackMain(3, argv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::string path = (fuzz::ScratchRoot() / "in.exe").string();
  std::vector<uint8_t> file(data + 1, data + size);
  if (data[0] & 1) fuzz::Seal(file, 0);
  fuzz::WriteBytes(path, file);

  const int list = Pvpack("list", path), verify = Pvpack("verify", path);
  fuzz::Check(list == 0 || list == -ArcBadChecksum || list == -ArcBadRecord, "list: unexpected status");
  fuzz::Check(list == 0 ? verify == 0 || verify == -ArcBadRecord : verify == list,
              "list and verify disagree");
  return 0;
}
