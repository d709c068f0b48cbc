// What a sync run leaves in each tree it writes to, so that it can be
// undone: the files it replaced, moved aside (one rename, no copy) into
// `.tandrel/replaced/<run>/` at the tree's top under their path there, and
// a journal of what it put where.
//
// Kept files are out of every compare twice over: their folder is hidden (a
// dot name; the hidden attribute as well on Windows), and each kept file's
// name begins with "~", which every compare leaves out on every system,
// also where a stick written here is read on a system that would show the
// folder.
//
// The journal (`journal.txt` in the run's folder) is text, one record a
// line, fields split by tabs, paths '/'-joined below the tree's top with
// '%', tab and line ends written as %25, %09, %0A, %0D:
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

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

inline constexpr std::string_view kRecordFolder = ".tandrel";
inline constexpr std::string_view kReplacedFolder = "replaced";
inline constexpr std::string_view kJournalName = "journal.txt";
// Kept files older than this are removed by a later sync into their tree.
inline constexpr int kDefaultKeepDays = 30;

// The name of a run's folder: when it started, in local time,
// "2026-12-07 181000".
std::string RunName(std::int64_t unix_seconds);
// When the run named `name` started (seconds since 1970), if it is such a name.
std::optional<std::int64_t> RunStart(std::string_view name);

// Orders the names of runs by when they began.
bool RunBefore(std::string_view a, std::string_view b);

// The name a kept file has in the run's folder.
std::string KeptName(std::string_view name);

struct JournalEntry {
  enum Kind { kKeep, kPut } kind;
  std::string path;  // below the tree's top, '/'-joined
  FileStamp stamp;   // size, write time and file id (no device)
};

std::string JournalLine(const JournalEntry& entry);
// The entries of a journal's text; lines that do not read whole (the last,
// after a crash) are left out.
std::vector<JournalEntry> ParseJournal(std::string_view text);

// True when `now` is the file a journal entry describes: the same size and
// write time (as a compare on `storage` sees times), and the same file id
// where the storage keeps ids across mounts (local disks).
bool SameAsRecorded(const FileStamp& now, const FileStamp& recorded, const Storage& storage);

// One run's record in one tree. Used from the run's own thread.
class RunRecord {
 public:
  RunRecord(FileSystem& fs, std::shared_ptr<const Folder> top, Storage storage,
            std::string run_name);

  // Notes what the next batch is about to do at `path`.
  void NoteKeep(std::string_view path, const FileStamp& old);
  void NotePut(std::string_view path, const FileStamp& copy);
  // Writes the noted entries at the end of the journal and flushes it (the
  // run's folder is made on first use).
  std::error_code Flush();

  // Moves the file `name` of `folder` (at `path` below the top) into the
  // run's folder. May be called from several threads at once. std::errc::cross_device_link or
  // operation_not_supported when it cannot be moved there in one step.
  std::error_code Keep(const Folder& folder, std::string_view path, std::string_view name);
  // Flushes the folders that files were moved into since the last call.
  std::error_code FlushKept();
  // Moves it back, for a row that then failed.
  std::error_code PutBack(const Folder& folder, std::string_view path, std::string_view name);

  // The run's folder, made on first use.
  std::error_code RunFolder(std::shared_ptr<const Folder>* folder);
  // Nothing was ever noted.
  bool Empty() const { return !noted_; }
  // Removes the run's folder, and the record's folders when they are left
  // empty.
  void Remove();

 private:
  // The folder of the run's folder that keeps what was at `path`.
  std::error_code KeptFolderOf(std::string_view path, std::shared_ptr<const Folder>* folder);

  FileSystem& fs_;
  std::shared_ptr<const Folder> top_;
  Storage storage_;
  std::string run_name_;
  std::shared_ptr<const Folder> run_folder_;
  OpenFile journal_;
  std::string pending_;
  bool noted_ = false;
  std::vector<std::shared_ptr<const Folder>> unflushed_;
  // Guards the kept folders made and not yet flushed, for Keep.
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const Folder>, std::less<>> kept_folders_;
};

// Opens `.tandrel/replaced` in the tree under `top`.
std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced);

// Where the run `run` keeps its files, below the top folder `top_text`
// (which ends in a separator).
std::string RunFolderText(std::string_view top_text, std::string_view run);

// Removes the run `name` of the tree under `top`, and the record's folders
// where that leaves them empty. Nothing of the run may be held open.
void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name);

// True when the tree under `top` has a record of the run `name`.
bool RunExists(FileSystem& fs, const Folder& top, std::string_view name);

// The runs recorded in the tree under `top`, oldest first, by name.
std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top);

// Removes the folder `name` of `parent` and everything below it that is not
// held; false when something stayed.
bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name);

// Removes the recorded runs of the tree under `top` that started before
// `before` (seconds since 1970), but `spare`; the names of those removed.
std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare);

}  // namespace tandrel
