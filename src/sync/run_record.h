// What a run leaves in each tree it writes to, so that it can be undone and,
// if it is cut short, recovered: the files it replaced, moved aside into the
// run's folder at the tree's top (run_folder.h), and its journal
// (journal.h). The runs a tree keeps are listed, named and pruned in
// kept_runs.h.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"
#include "sync/journal.h"
#include "sync/kept_runs.h"
#include "sync/run_folder.h"

namespace tandrel {

// One run's record in one tree. Used from the run's own thread, but for
// Keep and PutBack.
class RunRecord {
 public:
  // A record let go of without Close (the run was cut short by an
  // exception) leaves its journal for the next run to recover.
  RunRecord(FileSystem& fs, std::shared_ptr<const Folder> top, RunHeading heading);

  // Notes what the next batch is about to do at `path`, or what a row did.
  void NoteKeep(std::string_view path, std::string_view kept_name, const FileStamp& old);
  void NoteUnkept(std::string_view path, const FileStamp& old);
  void NotePut(std::string_view path, std::string_view temporary, const FileStamp& copy);
  void NoteOutcome(std::string_view path, bool done);
  // Adds at once (without a flush: a kill leaves it in the system's cache)
  // that the run writes temporaries in the folder at `path`, so that the
  // recovery of a run killed meanwhile removes them. May be called from
  // several threads at once.
  void NoteFolder(std::string_view path);
  // A row was neither done nor put back as it was (its kept file could not
  // be moved back): the journal gets no end, so that the next run recovers
  // the row.
  void NoteUnsettled() { unsettled_ = true; }
  // Writes the noted lines at the end of the journal and flushes it (the
  // run's folder is made on first use); on a failure they are dropped. A
  // failed write (a full disk) may be followed by others; after a failed
  // flush every call fails: what it should have kept may be lost.
  std::error_code Flush();
  // Ends the journal; a record of a run that did nothing goes instead.
  std::error_code Close();

  // Moves the file `name` of `folder` (at `path` below the top) into the
  // run's folder as `kept_name`; a file on a disk mounted inside the tree
  // into the run's folder at that disk's top (run_folder.h). May be called
  // from several threads at once. std::errc::cross_device_link or
  // operation_not_supported when it cannot be moved there in one step.
  // With `linked`, given a second name there instead where the disk allows
  // (KeptFiles::Keep).
  std::error_code Keep(const Folder& folder, std::string_view path, std::string_view name,
                       std::string_view kept_name, bool* linked = nullptr);
  // Flushes the folders that files were moved into since the last call.
  std::error_code FlushKept();
  // Moves it back, for a row that then failed (KeptFiles::PutBack).
  std::error_code PutBack(const Folder& folder, std::string_view path, std::string_view name,
                          std::string_view kept_name, bool linked = false);

  // The run's folder, made on first use.
  std::error_code RunFolder(std::shared_ptr<const Folder>* folder);
  const std::string& name() const { return name_; }
  // Removes the run's folder, and the record's folders when they are left
  // empty.
  void Remove();

 private:
  // Keeps a file that cannot leave its disk for the tree's top.
  std::error_code KeepOnMount(const Folder& folder, std::string_view path, std::string_view name,
                              std::string_view kept_name, bool* linked);
  // The highest folder on the way to `folder_path` that lies on its disk.
  std::string MountTop(std::string_view folder_path);
  // The run's folder at the top of `mount`, made on first use (and listed
  // in the run's mounts first). Called with `mount_mutex_` held.
  std::error_code MountFiles(const std::string& mount, KeptFiles** files);
  // Where the files of the folder at `folder_path` are kept, if not at the
  // tree's top.
  KeptFiles* MountFilesOf(std::string_view folder_path, std::string* mount);

  FileSystem& fs_;
  std::shared_ptr<const Folder> top_;
  const RunHeading heading_;
  std::string name_;
  OpenFile journal_;
  std::string pending_;
  bool unsettled_ = false;
  bool torn_ = false;  // the last write failed
  bool done_any_ = false;
  std::error_code failed_;  // a write or flush of the journal that failed
  // Guards making the run's folder, which Keep and PutBack may ask for.
  std::mutex make_mutex_;
  // Guards writing the journal, which NoteFolder may do from any thread.
  std::mutex write_mutex_;
  // Set once the run's folder is made.
  std::optional<KeptFiles> kept_;
  // Guards what follows: the mounts inside the tree where the run keeps
  // files (their list held open as `mounts_file_`), and by folder, which
  // of them keeps that folder's files.
  std::mutex mount_mutex_;
  OpenFile mounts_file_;
  std::vector<std::string> mounts_;
  std::map<std::string, std::unique_ptr<KeptFiles>, std::less<>> mount_files_;
  std::map<std::string, std::string, std::less<>> mount_of_folder_;
};

}  // namespace tandrel
