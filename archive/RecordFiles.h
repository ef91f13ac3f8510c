// Where a reader of the format puts the files of records: below one
// destination, each record's folders made and held, whatever stands in the
// way of its file cleared, the file created new, and finished with the
// record's time and attributes. The setup runs with raised rights in a
// folder that others may have prepared, so none of this follows a link.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/FileIo.h"
#include "archive/Format.h"

class RecordFiles {
 public:
  // destination: the destination folder, held by the caller (HoldDirectory)
  // for as long as this object is used, so that every file and folder
  // below it is reached from that handle, whatever becomes of its name;
  // dir: its name, with no trailing separator, for the paths of messages
  // (and for Windows 9x, which has no links and opens by name).
  RecordFiles(const fileio::File& destination, std::string dir)
      : destination_(destination), dir_(std::move(dir)) {}

  // Creates the file of the record named name (a safe record name) new,
  // open for writing in file, with path set to its full path; each folder
  // of it is reached from the one above it (File::OpenAt), never by path. ArcOk (0), or
  // ArcCannotCreate (-2) when a folder cannot be made safe or the file
  // cannot be created. Called for one record at a time; the files may be
  // written and finished on other threads.
  int32_t Create(const std::string& name, fileio::File& file, std::string& path);

  // Removes the file of the record named name, read-only or not, as Create
  // clears the way: for a reader that has created files ahead of a record
  // that then failed. False when it stays.
  bool Remove(const std::string& name);

  // Lets go of the folders held.
  void Release() { held_.clear(); }

 private:
  const fileio::File* Folder(const std::vector<std::string>& levels, bool make);

  const fileio::File& destination_;
  std::string dir_;
  // The folders of the last record's path below the destination by name,
  // held open so that none can be swapped for a link while files are
  // written into them, each opened relative to the one before; records in
  // the same folder keep them.
  std::vector<std::pair<std::string, fileio::File>> held_;
};

// Finishes a record's file once its data is written: sets the record's time,
// closes it, then sets its attributes (closing a written file may set its
// archive bit again), through a handle to the same file opened for
// attributes only before the close, never by a name. path is not used (it
// names the file in messages). Failures are ignored.
void FinishRecordFile(fileio::File& file, const std::string& path, const FileRecordHeader& header);
