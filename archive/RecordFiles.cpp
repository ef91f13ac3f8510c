#include "archive/RecordFiles.h"

#include "archive/Format.h"
#include "archive/ShortUtl.h"

namespace {

// Clears the way for a record's new file at name in the held folder dir.
// Whoever could write in the destination before may have put anything
// there, so it is reached through one handle that opens the object itself,
// never a link's target: a link goes; a file goes, its read-only bit
// cleared first; a file with more than one name loses only this name, and
// its attributes stay, as they belong to the other names too. False when
// that file is read-only, which no name of it could then lose without the
// bit changing for all. Other failures leave the old object, and creating
// the new file then fails.
bool RemoveOldFile(const fileio::File& dir, const std::string& name) {
  fileio::File old;
  fileio::FileFacts facts;
  if (!old.OpenAt(dir, name, fileio::OpenMode::Inspect) || !old.Facts(&facts)) return true;
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

// Opens the real folder name in dir, making it first when it is missing.
// A link planted where it belongs is replaced by a real folder, never
// followed.
bool OpenFolder(const fileio::File& dir, const std::string& name, fileio::File& folder) {
  if (folder.OpenDirectoryAt(dir, name)) return true;
  fileio::RemoveLinkAt(dir, name);
  // Made and held at once; whatever came to stand there meanwhile is
  // opened as it stands, and checked as always.
  return folder.NewDirectoryAt(dir, name) || folder.OpenDirectoryAt(dir, name);
}

// Splits a record's name into its folders and its file's name, taking both
// separators: the system takes "/" for one too. Empty levels go.
std::vector<std::string> Levels(const std::string& name) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '\\' && name[i] != '/') continue;
    if (i > start) levels.push_back(name.substr(start, i - start));
    start = i + 1;
  }
  return levels;
}

}  // namespace

// Holds the folders of a record's name below the destination, parents
// first, each opened relative to the one above and held until a record
// outside it comes; with make false, missing folders are not made. Returns
// the folder the file goes into, or null when a folder cannot be made safe
// this way (or is missing).
const fileio::File* RecordFiles::Folder(const std::vector<std::string>& levels, bool make) {
  size_t level = 0;
  for (size_t i = 0; i + 1 < levels.size(); ++i, ++level) {
    if (level < held_.size() && held_[level].first != levels[i]) held_.resize(level);
    if (level == held_.size()) {
      held_.emplace_back(levels[i], fileio::File());
      // Only now: the line above may move the folders held.
      const fileio::File& parent = level == 0 ? destination_ : held_[level - 1].second;
      fileio::File& folder = held_.back().second;
      if (make ? !OpenFolder(parent, levels[i], folder)
               : !folder.OpenDirectoryAt(parent, levels[i])) {
        held_.pop_back();
        return nullptr;
      }
    }
  }
  held_.resize(level);
  return level == 0 ? &destination_ : &held_.back().second;
}

int32_t RecordFiles::Create(const std::string& name, fileio::File& file, std::string& path) {
  path = dir_ + "\\" + name;
  const std::vector<std::string> levels = Levels(name);
  const fileio::File* folder = levels.empty() ? nullptr : Folder(levels, true);
  if (!folder || !RemoveOldFile(*folder, levels.back())) return ArcCannotCreate;
  return file.OpenAt(*folder, levels.back(), fileio::OpenMode::CreateNew) ? ArcOk
                                                                         : ArcCannotCreate;
}

bool RecordFiles::Remove(const std::string& name) {
  const std::vector<std::string> levels = Levels(name);
  const fileio::File* held = levels.empty() ? nullptr : Folder(levels, false);
  if (!held) return true;  // no folder, no file in it
  const fileio::File& folder = *held;
  fileio::File left;
  return RemoveOldFile(folder, levels.back()) &&
         !left.OpenAt(folder, levels.back(), fileio::OpenMode::Inspect);
}

void FinishRecordFile(fileio::File& file, const std::string&, const FileRecordHeader& header) {
  file.SetDosTime(header.DosDateTime);
  fileio::FileFacts written;
  const bool known = file.Facts(&written);
  // A new file has the archive bit, and closing it may only set that bit
  // again: a record that asks for just the attributes it has is done,
  // without the handle below and its calls.
  if (!known || (header.Attributes == written.attributes && (header.Attributes & fileio::AttrArchive))) {
    file.Close();
    return;
  }
  // The same file once more, whatever became of its name meanwhile: the
  // attributes go after the close, which may set the archive bit.
  fileio::File again;
  const bool reopened = again.Reopen(file);
  file.Close();
  fileio::FileFacts now;
  if (reopened && again.Facts(&now) && !now.isLink) again.SetAttributes(header.Attributes);
}
