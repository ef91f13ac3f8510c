#include "archive/RecordFiles.h"

#include "archive/Archive.h"
#include "archive/ShortUtl.h"

namespace {

// Clears the way for a record's new file at path. Whoever could write in
// the destination before may have put anything there, so it is reached
// through one handle that opens the object itself, never a link's target:
// a link goes; a file goes, its read-only bit cleared first; a file with
// more than one name loses only this name, and its attributes stay, as
// they belong to the other names too. False when that file is read-only,
// which no name of it could then lose without the bit changing for all.
// Other failures leave the old file, and creating the new one then fails.
bool RemoveOldFile(const std::string& path) {
  fileio::File old;
  fileio::FileFacts facts;
  if (!old.Open(path, fileio::OpenMode::Inspect) || !old.Facts(&facts)) return true;
  if (facts.isLink) {
    old.Delete();
    return true;
  }
  if (facts.attributes & fileio::AttrDirectory) return true;
  if (facts.attributes & fileio::AttrReadOnly) {
    if (facts.links > 1) return false;
    old.SetAttributes(facts.attributes & ~fileio::AttrReadOnly);
  }
  old.Delete();
  return true;
}

}  // namespace

// Makes the folders of a record's name below the destination, parents
// first, and holds each one open until a record outside it comes. A link
// planted where a folder belongs is replaced by a real folder, never
// followed. False when a folder cannot be made safe this way.
bool RecordFiles::MakeFolders(const std::string& name) {
  // The destination itself is the user's choice and is taken as it stands.
  if (held_.empty()) MakeDirPath(dir_);
  std::string path = dir_;
  size_t level = 0, start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    // Both separators: the system takes "/" for one too.
    if (name[i] != '\\' && name[i] != '/') continue;
    if (i > start) {
      path += '\\';
      path.append(name, start, i - start);
      if (level < held_.size() && held_[level].first != path) held_.resize(level);
      if (level == held_.size()) {
        fileio::RemoveLink(path);
        fileio::MakeDirectory(path);  // fails harmlessly when it exists
        held_.emplace_back(path, fileio::File());
        if (!held_.back().second.OpenDirectory(path)) return false;
      }
      ++level;
    }
    start = i + 1;
  }
  held_.resize(level);
  return true;
}

int32_t RecordFiles::Create(const std::string& name, fileio::File& file, std::string& path) {
  path = dir_ + "\\" + name;
  if (!MakeFolders(name)) return ArcCannotCreate;
  // A link that the handle below cannot see as one (where the system opens
  // links' targets) goes by its name; its target is untouched.
  fileio::RemoveLink(path);
  if (!RemoveOldFile(path)) return ArcCannotCreate;
  return file.Open(path, fileio::OpenMode::CreateNew) ? ArcOk : ArcCannotCreate;
}

bool RecordFiles::Remove(const std::string& name) {
  const std::string path = dir_ + "\\" + name;
  return RemoveOldFile(path) && fileio::GetAttributes(path) == fileio::InvalidAttributes;
}

void FinishRecordFile(fileio::File& file, const std::string& path, const FileRecordHeader& header) {
  file.SetDosTime(header.DosDateTime);
  fileio::FileFacts written;
  const bool known = file.Facts(&written);
  file.Close();
  if (!known) return;
  // A new file has the archive bit, and closing it may only set that bit
  // again: a record that asks for just the attributes it has is done,
  // without the handle below and its calls.
  if (header.Attributes == written.attributes && (header.Attributes & fileio::AttrArchive)) return;
  fileio::File again;
  fileio::FileFacts now;
  if (again.Open(path, fileio::OpenMode::Attributes) && again.Facts(&now) &&
      now.volume == written.volume && now.index == written.index && !now.isLink)
    again.SetAttributes(header.Attributes);
}
