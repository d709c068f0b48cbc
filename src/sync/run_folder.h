// One run's folder in one tree, `.tandrel/replaced/<run>/` (see
// kept_runs.h): it holds the run's journal (journal.h) and the files the run
// replaced, moved aside (one rename, no copy) under their path below the
// tree's top, each name with "~" in front.
//
// Kept files are out of every compare twice over: their folder is hidden (a
// dot name; the hidden attribute as well on Windows), and each kept file's
// name begins with "~", which every compare leaves out on every system,
// also where a stick written here is read on a system that would show the
// folder.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

// The name a kept file has in the run's folder.
std::string KeptName(std::string_view name);

// Makes the folder of the run `*name` in the tree under `top` and begins its
// journal there, held open in `journal`; all it made is flushed before it
// returns, so that it is there to stay before anything is moved into it. A
// run that began in the same second has that folder: the next numbered name
// is tried, and `*name` tells the one made.
std::error_code MakeRunFolder(FileSystem& fs, const Folder& top, std::string* name,
                              std::shared_ptr<const Folder>* run, OpenFile* journal);

// Moves files into a run's folder, once made, and back. Keep and PutBack may
// be called from several threads at once.
class KeptFiles {
 public:
  KeptFiles(FileSystem& fs, std::shared_ptr<const Folder> run);

  const std::shared_ptr<const Folder>& folder() const { return run_; }

  // Moves the file `name` of `folder` (at the '/'-joined `path` below the
  // top) into the run's folder. std::errc::cross_device_link or
  // operation_not_supported when it cannot be moved there in one step.
  std::error_code Keep(const Folder& folder, std::string_view path, std::string_view name);
  // Flushes the folders that files were moved into since the last call.
  std::error_code Flush();
  // Moves it back, for a row that then failed.
  std::error_code PutBack(const Folder& folder, std::string_view path, std::string_view name);

 private:
  // The folder of the run's folder that keeps what was at `path`, made on
  // first use. Called with `mutex_` held.
  std::error_code KeptFolderOf(std::string_view path, std::shared_ptr<const Folder>* folder);

  FileSystem& fs_;
  std::shared_ptr<const Folder> run_;
  std::vector<std::shared_ptr<const Folder>> unflushed_;
  // Guards the kept folders made and not yet flushed.
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const Folder>, std::less<>> kept_folders_;
};

}  // namespace tandrel
