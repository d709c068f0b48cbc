// One run's folder in one tree, `.tandrel/replaced/<run>/` (see
// kept_runs.h): the run's journal (journal.h), and apart from it, in
// `files/`, the files the run replaced, moved aside (one rename, no copy)
// under their path below the tree's top, each name with "~" in front.
//
// Kept files are out of every compare twice over: their folder is hidden (a
// dot name; the hidden attribute as well on Windows), and each kept file's
// name begins with "~", which every compare leaves out on every system,
// also where a stick written here is read on a system that would show the
// folder.
//
// A file on a disk mounted inside the tree cannot be moved to the tree's top
// in one rename: the run keeps it at the top of that disk instead, in a
// folder of the same name, `<mount>/.tandrel/replaced/<run>/files/`, under
// its path below the mount. The run's folder at the tree's top lists such
// mounts (journal.h, kMountsName); a folder's files are kept at the longest
// listed mount that holds it, or at the tree's top.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"
#include "sync/journal.h"

namespace tandrel {

inline constexpr std::string_view kKeptFilesFolder = "files";

// The name a kept file has in the run's folder: "~" and its name, or where
// that would be longer than a name may be, a shortened name that the
// journal records.
std::string KeptName(std::string_view name);

// Where the run whose folder is `run_text` keeps what was at `path` ('/'-
// joined below the top) as `kept_name`, as the user is shown it.
std::string KeptFileText(std::string_view run_text, std::string_view path,
                         std::string_view kept_name);

// Makes the folder of the run `heading` names in the tree under `top`, and
// begins its journal there, held open in `journal`; all it made is flushed
// before it returns, so that it is there to stay before anything is moved
// into it. `*name` tells the folder's name.
std::error_code MakeRunFolder(FileSystem& fs, const Folder& top, const RunHeading& heading,
                              std::string* name, std::shared_ptr<const Folder>* run,
                              OpenFile* journal);

// Makes the run folder `name` in the record of the tree (or of a disk
// mounted inside it) under `top`, as `run`; `fill`, if any, writes what
// goes in it first; then the folders made are flushed, so that they are
// there to stay before anything is moved into them.
std::error_code MakeRunFolderAt(FileSystem& fs, const Folder& top, std::string_view name,
                                const std::function<std::error_code(const Folder&)>& fill,
                                Folder* run);

// Opens the folder of the kept files of the run `run` that were at
// `folder_path` (names joined by '/') below the top.
std::error_code OpenKeptFolder(FileSystem& fs, const Folder& run, std::string_view folder_path,
                               Folder* folder);

// Of `mounts`, the longest that holds the folder at `folder_path` (names
// joined by '/'), or "" (the tree's top).
std::string_view MountOf(const std::vector<std::string>& mounts, std::string_view folder_path);
// `path` below the folder `mount` (which holds it).
std::string_view BelowMount(std::string_view mount, std::string_view path);

// Where the run `run_name` (its folder `run` at the tree's top `top`, which
// lists `mounts`) keeps what was at `path`, and as the user is shown it.
struct KeptPlace {
  const Folder& top;
  std::string_view top_text;
  const Folder& run;
  std::string_view run_name;
  const std::vector<std::string>& mounts;

  std::error_code OpenFolder(FileSystem& fs, std::string_view folder_path, Folder* folder) const;
  std::string Text(std::string_view path, std::string_view kept_name) const;
};

// Moves files into a run's folder, once made, and back. Keep and PutBack may
// be called from several threads at once. At most the folders of the files
// kept since the last Flush are held open.
class KeptFiles {
 public:
  KeptFiles(FileSystem& fs, std::shared_ptr<const Folder> run);

  const std::shared_ptr<const Folder>& folder() const { return run_; }

  // Moves the file `name` of `folder` (at the '/'-joined `path` below the
  // top) into the run's folder as `kept_name`.
  // std::errc::cross_device_link or operation_not_supported when it cannot
  // be moved there in one step. With `linked`, it is given its name there
  // as a second name instead where the disk allows (and *linked says so):
  // it then stays where it is, for the copy to replace.
  std::error_code Keep(const Folder& folder, std::string_view path, std::string_view name,
                       std::string_view kept_name, bool* linked = nullptr);
  // Flushes the folders that files were moved into since the last call.
  std::error_code Flush();
  // Moves it back, for a row that then failed; a second name goes, unless
  // the file is no longer where it was (then it is moved back there).
  std::error_code PutBack(const Folder& folder, std::string_view path, std::string_view name,
                          std::string_view kept_name, bool linked = false);

 private:
  // The folder of the run's folder that keeps what was at `path`, made on
  // first use. Called with `mutex_` held.
  std::error_code KeptFolderOf(std::string_view path, std::shared_ptr<const Folder>* folder);

  FileSystem& fs_;
  std::shared_ptr<const Folder> run_;
  // Guards the kept folders made and not yet flushed.
  std::mutex mutex_;
  std::vector<std::shared_ptr<const Folder>> unflushed_;
  std::map<std::string, std::shared_ptr<const Folder>, std::less<>> kept_folders_;
};

}  // namespace tandrel
