// The setup executable: the archive found in one, and one assembled.
#include "tools/pvpack/Pack.h"

#include <algorithm>

#include "archive/PeImage.h"
#include "archive/PvUnZip.h"

namespace pack {

bool SetupHead(const Bytes& stub, const std::string& stubName, uint64_t archiveSize, Bytes& head,
               Fault& fault) {
  const bool hasMarker = FindArchiveIn(stub.data(), stub.size()).isSetup;
  uint32_t offset = 0, size = 0;
  if (!StartsAsExecutable(stub.data(), stub.size())) {
    fault = {stubName, "the stub is not a Windows executable"};
    return false;
  }
  if (hasMarker) {
    fault = {stubName, "the stub already carries a payload; use the bare setup-stub.exe"};
    return false;
  }
  if (PeCertificateTable(stub.data(), std::min(stub.size(), PeHeaderBytes), &offset, &size)) {
    fault = {stubName, "the stub is signed; sign the finished setup instead, after pvpack setup"};
    return false;
  }
  // Signing tools pad a file to a multiple of 8 bytes before they append the
  // certificate table, and that padding would become part of the archive.
  // Filler between stub and marker makes the finished file need none.
  const uint64_t total = uint64_t(stub.size()) + PayloadMarker.size() + archiveSize;
  const uint64_t filler = (8 - total % 8) % 8;
  if (total + filler > MaxSetupSize) {
    fault = {stubName, "with this archive the setup would take " + std::to_string(total + filler) +
                           " bytes, more than the " + std::to_string(MaxSetupSize) +
                           " of a setup that Windows can start and sign"};
    return false;
  }
  head = stub;
  head.insert(head.end(), size_t(filler), 0);
  head.insert(head.end(), PayloadMarker.begin(), PayloadMarker.end());
  return true;
}

}  // namespace pack
