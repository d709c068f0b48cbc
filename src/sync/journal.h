// The journal of one run in one tree (`journal.txt` in the run's folder, see
// run_folder.h): a write-ahead log of what the run is about to do there.
//
// It is text, one record a line, fields split by tabs, paths '/'-joined
// below the tree's top with '%', tab and line ends written as %25, %09,
// %0A, %0D:
//
//   tandrel journal 1
//   keep  <path>  <size>  <write seconds>  <nanoseconds>  <file id>
//   put   <path>  <size>  <write seconds>  <nanoseconds>  <file id>
//
// "keep" names the file the run is about to move aside from <path>, "put"
// the copy it is about to put there. Both are written and flushed before the
// renames of their batch, so after a crash the journal tells everything the
// run may have done; what it did is told by what is found where.
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

inline constexpr std::string_view kJournalName = "journal.txt";

struct JournalEntry {
  enum Kind { kKeep, kPut } kind;
  std::string path;  // below the tree's top, '/'-joined
  FileStamp stamp;   // size, write time and file id (no device)
};

std::string JournalLine(const JournalEntry& entry);
// The entries of a journal's text; lines that do not read whole (the last,
// after a crash) are left out.
std::vector<JournalEntry> ParseJournal(std::string_view text);

// Makes the journal in the run's folder `run` and writes its heading; it is
// held open in `journal` for the lines that follow. std::errc::file_exists
// when the folder has one: another run has that folder.
std::error_code BeginJournal(FileSystem& fs, const Folder& run, OpenFile* journal);

// True when `now` is the file a journal entry describes: the same size and
// write time (as a compare on `storage` sees times), and the same file id
// where the storage keeps ids across mounts (local disks).
bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage);

}  // namespace tandrel
