// Whether an executable is this project's setup program, the only stub a
// setup can be made from: its version block and the dialogs it shows, read
// from the PE image's resource directory.
#include <algorithm>
#include <cstring>
#include <string>

#include "tools/pvpack/Pack.h"

namespace pack {
namespace {

// Little-endian reads that fail, rather than run past the end, on a
// truncated or malformed image.
struct Image {
  const Bytes& bytes;
  bool ok = true;

  uint32_t U16(uint64_t at) {
    if (at + 2 > bytes.size()) return ok = false, 0;
    return uint32_t(bytes[at] | bytes[at + 1] << 8);
  }
  uint32_t U32(uint64_t at) {
    if (at + 4 > bytes.size()) return ok = false, 0;
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
  }
};

// The resource directory of a PE image, its entries looked up by number.
class Resources {
 public:
  explicit Resources(const Bytes& stub) : image_{stub} {
    Image& im = image_;
    const uint32_t nt = im.U32(0x3C);
    if (!im.ok || im.U32(nt) != 0x00004550) return;  // "PE\0\0"
    const uint32_t sections = im.U16(nt + 6);
    const uint64_t optional = uint64_t(nt) + 24;
    const uint32_t magic = im.U16(optional);
    const uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
    const uint32_t count = im.U32(directories - 4);
    if (!im.ok || (magic != 0x10B && magic != 0x20B) || count < 3) return;
    sectionTable_ = optional + im.U16(nt + 20);
    sections_ = sections;
    rootRva_ = im.U32(directories + 2 * 8);
    if (!im.ok || rootRva_ == 0) return;
    root_ = Offset(rootRva_);
  }

  // The data of the resource of type and id, in the first language it has;
  // 0 and size 0 when there is none.
  uint64_t Find(uint32_t type, uint32_t id, uint32_t& size) {
    size = 0;
    if (root_ == 0) return 0;
    uint32_t entry = Entry(root_, type);
    if (!(entry & 0x80000000u)) return 0;
    entry = Entry(root_ + (entry & 0x7FFFFFFFu), id);
    if (!(entry & 0x80000000u)) return 0;
    entry = Entry(root_ + (entry & 0x7FFFFFFFu), ~0u);
    if (entry == 0 || (entry & 0x80000000u)) return 0;
    const uint64_t leaf = root_ + entry;
    const uint64_t data = Offset(image_.U32(leaf));
    size = image_.U32(leaf + 4);
    if (!image_.ok || data == 0 || data + size > image_.bytes.size()) return size = 0, 0;
    return data;
  }

 private:
  // The file offset of rva, 0 when no section holds it.
  uint64_t Offset(uint32_t rva) {
    for (uint32_t i = 0; i < sections_ && i < 96; ++i) {
      const uint64_t s = sectionTable_ + uint64_t(i) * 40;
      const uint32_t address = image_.U32(s + 12), raw = image_.U32(s + 16),
                     pointer = image_.U32(s + 20);
      if (image_.ok && rva >= address && rva - address < raw) return uint64_t(pointer) + (rva - address);
    }
    return 0;
  }
  // The OffsetToData of the entry for id in the directory at dir (~0u: its
  // first entry), 0 when there is none.
  uint32_t Entry(uint64_t dir, uint32_t id) {
    const uint32_t named = image_.U16(dir + 12), ids = image_.U16(dir + 14);
    for (uint32_t i = 0; i < named + ids && image_.ok; ++i) {
      const uint64_t e = dir + 16 + uint64_t(i) * 8;
      const uint32_t name = image_.U32(e);
      if (id == ~0u || (!(name & 0x80000000u) && name == id)) return image_.ok ? image_.U32(e + 4) : 0;
    }
    return 0;
  }

  Image image_;
  uint64_t sectionTable_ = 0;
  uint32_t sections_ = 0;
  uint32_t rootRva_ = 0;
  uint64_t root_ = 0;
};

// Whether bytes[at, at + size) holds text as UTF-16LE.
bool HoldsWide(const Bytes& bytes, uint64_t at, uint32_t size, const char* text) {
  std::string wide;
  for (const char* p = text; *p; ++p) wide += std::string{*p, '\0'};
  const auto begin = bytes.begin() + std::ptrdiff_t(at);
  return std::search(begin, begin + size, wide.begin(), wide.end()) != begin + size;
}

}  // namespace

std::string StubFault(const Bytes& stub) {
  constexpr uint32_t Dialog = 5, Version = 16;
  Resources resources(stub);
  std::string missing;
  const auto lacks = [&](const std::string& what) { missing += (missing.empty() ? "" : ", ") + what; };
  uint32_t size = 0;
  const uint64_t version = resources.Find(Version, 1, size);
  // The fixed part: signature, structure version, then the file version
  // 1.0.2.10 in two words.
  const uint64_t fixed = version + 40;
  Image image{stub};
  if (version == 0 || size < 92 || image.U32(fixed) != 0xFEEF04BDu ||
      image.U32(fixed + 8) != 0x00010000u || image.U32(fixed + 12) != 0x0002000Au ||
      !HoldsWide(stub, version, size, "040904E4") ||
      !HoldsWide(stub, version, size, "Installation program for Pavlane"))
    lacks("the version block of \"Installation program for Pavlane\" 1.0.2.10 (040904E4)");
  const struct {
    uint32_t id;
    const char* name;
  } dialogs[] = {{100, "dialog 100 (Choose Directory)"},
                 {200, "dialog 200 (the welcome window)"},
                 {300, "dialog 300 (the progress window)"}};
  for (const auto& dialog : dialogs)
    if (resources.Find(Dialog, dialog.id, size) == 0 || size == 0) lacks(dialog.name);
  if (missing.empty()) return "";
  return "not the bare setup program (setup-stub.exe): it lacks " + missing;
}

}  // namespace pack
