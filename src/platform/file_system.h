// The narrow seam to the operating system's file system. The walk, the time
// lookups and the safe copy are built on these primitives, so that an
// in-memory fake reaches every step of them in tests.
//
// Confinement: a whole path is given only to open a chosen top folder
// (OpenRoot) and to look at a single file outside the trees (Stat). Below a
// top folder everything goes through an opened Folder and one plain name at
// a time, and a folder is never entered through a link, so nothing is read
// or written outside the chosen folders whatever another process renames
// meanwhile, and no path is ever too long.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/separator.h"

namespace tandrel {

// A point in time as a count of 100-nanosecond intervals since
// 1601-01-01 00:00 UTC (the Windows FILETIME scale). Always UTC; local time
// exists only as the date value shown to people (see compare/last_modified.h).
// A file time beyond what this scale holds saturates at its ends, so the
// order of two times is never reversed.
using FileTime = std::int64_t;

inline constexpr FileTime kFileTimeTicksPerSecond = 10'000'000;
// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11'644'473'600;

// Seconds and nanoseconds since 1970 on the FileTime scale, saturating.
FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);

enum class EntryKind : std::uint8_t {
  kFile,        // a plain file, or a link whose target is a file
  kFolder,      // a real folder (never a link or junction)
  kFolderLink,  // a link, junction or other reparse point to a folder: never walked
  kOther,       // a device, pipe, socket or dangling link: neither walked nor listed
};

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kFile;
  // Hidden or system on Windows; a name starting with '.' on POSIX.
  bool hidden = false;
  // The last-write time when the listing gives it for free (Windows find
  // data); otherwise empty, and a caller that needs it asks for it.
  std::optional<FileTime> write_time;
};

// Which file, and which version of it: equal stamps mean that nobody has
// put another file in its place or (as far as size and time tell) written
// it in between. Times are kept as the file system keeps them.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
  std::int64_t size = 0;
  std::int64_t write_seconds = 0;
  std::uint32_t write_nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

struct FileInfo {
  EntryKind kind = EntryKind::kFile;
  FileTime write_time = 0;
  // POSIX permission bits (0 on Windows).
  std::uint32_t permissions = 0;
  // The last-access time as the file system keeps it (what a copy carries
  // over beside the last-write time of `stamp`).
  std::int64_t access_seconds = 0;
  std::uint32_t access_nanoseconds = 0;
  // True when the entry itself is a symbolic link or junction (only reported
  // when links are not followed).
  bool is_link = false;
  // The entry belongs to the user this process runs as (always on Windows).
  bool owned_by_caller = true;
  FileStamp stamp;
};

enum class FollowLinks : bool { kNo = false, kYes = true };

// What the storage under a folder keeps and how it behaves, as far as the
// system tells (and, for the drivers it names, as they are known to behave).
// The defaults are those of a local POSIX disk.
struct Storage {
  // The coarsest step in which it keeps last-write times, in nanoseconds:
  // 1 on most local file systems, 100 on NTFS, 10 ms on exFAT, 2 s on FAT,
  // 1 s over SFTP.
  std::int64_t time_step_ns = 1;
  // Times are kept in the local time of the computer that wrote them (FAT),
  // so a time-zone or summer-time change moves them by whole hours.
  bool local_time = false;
  // Names that differ only in letter case are one name here.
  bool ignores_case = false;
  // A FUSE driver or a network share: flushing the whole file system does
  // not reach the storage (each file is flushed itself), a lock is not seen
  // by other computers, a driver may change a file's time when it is closed
  // or renamed, and a server may refuse to rename a file that is open.
  bool remote = false;
  // Names are kept as Windows keeps them (any folder on Windows; FAT and
  // exFAT anywhere; NTFS mounted with windows_names; a share a Windows
  // computer or Samba serves): a name Windows does not allow is refused,
  // changed, shown under another name, or made through calls that no
  // ordinary Windows program can then open or delete it by.
  bool windows_names = false;
  // A file keeps its id across a remount (not FAT or exFAT, whose ids a
  // driver makes up as it reads; a remote file system's ids are not trusted
  // either).
  bool keeps_file_ids = true;
  // Every long name also gets a short 8.3 one that the driver finds by
  // searching the folder (fusefat tries ~1, ~2, ... with a pass over the
  // whole folder for each): a name made costs more the more names the
  // folder holds at once.
  bool short_names = false;
  bool operator==(const Storage&) const = default;
};

// What FAT (12, 16, 32) and exFAT keep, wherever the system reaches them.
Storage FatStorage();
Storage ExfatStorage();

class FileSystem;

// Watches one copy as it goes: `copied` grows by every block written, and a
// stop requested ends the copy within a block.
struct CopyWatch {
  std::atomic<std::int64_t>* copied = nullptr;
  std::stop_token stop;
  // Adds `bytes` to `copied`; false when the copy is to stop.
  bool Wrote(std::int64_t bytes) const {
    if (copied != nullptr) copied->fetch_add(bytes, std::memory_order_relaxed);
    return !stop.stop_requested();
  }
};

// A move-only owner of something a FileSystem opened: a folder, or a file
// being written. It is closed when the owner goes. The value inside means
// something only to the file system that made it.
template <typename Tag>
class Handle {
 public:
  Handle() = default;
  Handle(Handle&& other) noexcept
      : fs_(std::exchange(other.fs_, nullptr)), value_(std::exchange(other.value_, 0)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      fs_ = std::exchange(other.fs_, nullptr);
      value_ = std::exchange(other.value_, 0);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }

  explicit operator bool() const { return fs_ != nullptr; }
  void Reset();

 private:
  friend class FileSystem;
  Handle(FileSystem* fs, std::intptr_t value) : fs_(fs), value_(value) {}
  FileSystem* fs_ = nullptr;
  std::intptr_t value_ = 0;
};

struct FolderTag;
struct OpenFileTag;
// An opened folder: the only way to what lies below it.
using Folder = Handle<FolderTag>;
// A temporary file being written, held by this process until it is closed:
// no other sync takes it for a leftover while it is open.
using OpenFile = Handle<OpenFileTag>;

// Every primitive reports failure as an error code (errno or Win32 values)
// and never throws. Names and paths hold the platform's own bytes (UTF-8 on
// Windows). A `name` is one component: not empty, no separator, not "." or
// "..".
//
// Errors with a meaning of their own:
// - std::errc::too_many_symbolic_link_levels: a link (or junction) stands
//   where a folder was to be entered.
// - std::errc::no_such_file_or_directory: the name is not there.
// - std::errc::file_exists: the name is taken (creating, or renaming
//   without replacing).
// - std::errc::device_or_resource_busy: another program holds the file open
//   so that it cannot be renamed, replaced or removed now (on Windows a
//   sharing or lock violation, or a file open without delete sharing; on a
//   share, what the server says of a file a Windows computer holds). It may
//   pass in a moment; ProgramHolding may tell who holds it.
//
// Threads: the primitives may be called from several threads at once, on
// the same Folder too, except that List of one Folder must not run on two
// threads at once; an OpenFile is used by one thread at a time.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // --- Whole paths -------------------------------------------------------

  // Opens a chosen top folder (a link to a folder is followed: the user
  // chose it). `path` may end in a separator.
  virtual std::error_code OpenRoot(const std::string& path, Folder* folder) = 0;

  // Kind, last-write time and permissions of one path outside the walk and
  // the sync (a chosen folder, a file beside the program). With
  // FollowLinks::kYes a link reports its target (and fails when the target
  // is missing).
  virtual std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) = 0;

  // --- Reading below an opened folder ------------------------------------

  // Opens the folder `name` of `parent`; refuses a link or junction there.
  // The name "." opens `parent` itself once more.
  virtual std::error_code OpenFolder(const Folder& parent, std::string_view name,
                                     Folder* folder) = 0;

  // Opens the folder at `relative` below `root`: names joined by the
  // separator, with or without one at the end; empty for `root` itself.
  // Each folder on the way is entered as OpenFolder would; a name that is
  // "." or ".." or empty is refused with std::errc::invalid_argument.
  virtual std::error_code OpenBeneath(const Folder& root, std::string_view relative,
                                      Folder* folder);

  // Lists the entries of `folder` in the order the file system returns
  // them, without "." and "..". Replaces the contents of `entries`. An error
  // means the folder could not be read to its end; `entries` is then
  // unspecified.
  virtual std::error_code List(const Folder& folder, std::vector<DirEntry>* entries) = 0;

  // What is at `name` in `folder`. A link at `name` is followed only with
  // FollowLinks::kYes; a folder on the way never is (there is none).
  virtual std::error_code StatAt(const Folder& folder, std::string_view name, FollowLinks follow,
                                 FileInfo* info) = 0;

  // The last-write times (through links) of files of `folder`, in the order
  // of `names`; empty for a file whose time cannot be read. Replaces the
  // contents of `times`. The default asks StatAt for each.
  virtual void WriteTimesIn(const Folder& folder, const std::vector<std::string_view>& names,
                            std::vector<std::optional<FileTime>>* times);

  // --- Writing a copy ----------------------------------------------------

  // Creates the file `name` in `folder`, which must not exist (a link there
  // counts as existing and is never followed), and keeps it open and held.
  virtual std::error_code CreateTemporary(const Folder& folder, std::string_view name,
                                          OpenFile* file) = 0;

  // Copies the file `name` of `from` (through a link at `name` only with
  // FollowLinks::kYes, else a link there fails with
  // std::errc::too_many_symbolic_link_levels; it must be a plain file) into
  // `to`, which is new and empty: its bytes (holes stay
  // holes, and a clone is made where the file system can), its permission
  // bits without set-user-ID and set-group-ID on POSIX, and its last-write
  // time exactly. `copied` tells what was copied. On failure `to` may be
  // left partly written. A source that another program wrote to (or
  // replaced) while it was copied fails with
  // std::errc::resource_unavailable_try_again: what `to` holds may mix two
  // versions of it. `watch`, when given, hears of the bytes as they are
  // written and can stop a long copy part-way (std::errc::operation_canceled).
  virtual std::error_code CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                                   FileInfo* copied, FollowLinks follow = FollowLinks::kYes,
                                   const CopyWatch* watch = nullptr) = 0;

  // What the link `name` of `folder` says (its target as written, which may
  // be relative to `folder`). Not supported where links are not read so.
  virtual std::error_code ReadLink(const Folder& folder, std::string_view name,
                                   std::string* target);

  // Puts the data of the given files on disk, so that it survives a power
  // cut. On failure `failed` is the position of the first file whose data
  // may not be there. The default flushes each file on its own; a file
  // system may flush many together more cheaply where that reaches the
  // storage.
  virtual std::error_code FlushFiles(std::span<OpenFile* const> files, size_t* failed);

  // Ends the writing of the temporary `temp` and reports what the storage
  // says only then (a network file system may report a failed write when the
  // file is closed). With `keep_held` the file stays held against the
  // leftover sweep of other runs until it is renamed or removed; without it
  // `temp` is let go of (some servers refuse to rename an open file), and
  // RenameTemporary and RemoveTemporary then work by its name alone.
  virtual std::error_code CloseTemporary(OpenFile& temp, bool keep_held) = 0;

  // Sets the last-write and last-access times of the file `name` of
  // `folder` (never through a link) to those of `times` (its stamp's write
  // time and its access time), for a driver that did not keep them.
  virtual std::error_code SetTimesAt(const Folder& folder, std::string_view name,
                                     const FileInfo& times) = 0;

  // What the storage under `folder` keeps and how it behaves. The default
  // describes a local POSIX disk.
  virtual std::error_code Describe(const Folder& folder, Storage* storage);

  // Renames the temporary `temp_name` of `folder`, open as `temp` (or let
  // go of by CloseTemporary), to `to`
  // in the same folder. With `replace` an entry at `to` (a file, or a link,
  // which is replaced itself and never written through) gives way in one
  // step; without it the rename fails with std::errc::file_exists when `to`
  // is taken.
  virtual std::error_code RenameTemporary(const Folder& folder, std::string_view temp_name,
                                          OpenFile& temp, std::string_view to, bool replace) = 0;

  // Removes the temporary `temp_name` of `folder`, open as `temp` (or let
  // go of); on Windows the name goes when `temp` is closed.
  virtual std::error_code RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                          OpenFile& temp) = 0;

  // Puts the folder's entries (the renames made in it) on disk.
  virtual std::error_code FlushFolder(const Folder& folder) = 0;

  // Removes the file `name` of `folder` if no process of this computer
  // holds it open as a temporary (see CreateTemporary); `removed` tells
  // whether it did. A file that is held is no error.
  virtual std::error_code RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                          bool* removed) = 0;

  // The name of a program that holds the file `name` of `folder` open
  // (such as "WINWORD.EXE"), where the system can tell; empty otherwise.
  // The default tells nothing.
  virtual std::string ProgramHolding(const Folder& folder, std::string_view name);

  // --- Keeping replaced files, and undoing a run -------------------------
  // Each answers std::errc::operation_not_supported where a file system
  // does not provide it.

  // Makes the folder `name` in `parent` unless it is there, and opens it as
  // OpenFolder does. With `hidden` a new folder is hidden where names do
  // not hide it (the hidden attribute on Windows).
  virtual std::error_code MakeFolder(const Folder& parent, std::string_view name, bool hidden,
                                     Folder* folder);

  // Moves the entry `name` of `from` (never what a link there leads to) to
  // `to_name` in `to`, on the same volume, in one step: std::errc::
  // cross_device_link when they are on two. Without `replace` it fails
  // with std::errc::file_exists when `to_name` is taken.
  virtual std::error_code MoveBetween(const Folder& from, std::string_view name, const Folder& to,
                                      std::string_view to_name, bool replace);
  // Gives the file `name` of `from` (never what a link there leads to) a
  // second name, `to_name` in `to`, on the same volume (a hard link): it
  // stays where it is as well. std::errc::file_exists when `to_name` is
  // taken, cross_device_link across volumes.
  virtual std::error_code LinkBetween(const Folder& from, std::string_view name, const Folder& to,
                                      std::string_view to_name);

  // Writes `text` at the end of `file` (a file made by CreateTemporary or
  // opened by OpenToAppend).
  virtual std::error_code AppendText(OpenFile& file, std::string_view text);
  // Opens the file `name` of `folder` to add to its end, and holds it as
  // CreateTemporary holds what it makes. std::errc::device_or_resource_busy
  // when another handle holds it so (a run that is still going).
  virtual std::error_code OpenToAppend(const Folder& folder, std::string_view name, OpenFile* file);

  // Reads the whole of the small file `name` of `folder`.
  virtual std::error_code ReadText(const Folder& folder, std::string_view name, std::string* text);

  // Removes the empty folder `name` of `folder`.
  virtual std::error_code RemoveEmptyFolder(const Folder& folder, std::string_view name);

  // --- Conveniences built on the above -----------------------------------

  // Lists the folder at a whole path (OpenRoot, then List).
  std::error_code ListFolder(const std::string& path, std::vector<DirEntry>* entries);

 protected:
  template <typename Tag>
  Handle<Tag> MakeHandle(std::intptr_t value) {
    return Handle<Tag>(this, value);
  }
  template <typename Tag>
  static std::intptr_t ValueOf(const Handle<Tag>& handle) {
    return handle.value_;
  }
  // Empties a handle without closing what it holds, for a file system that
  // closes it itself (to report what the close says).
  template <typename Tag>
  static std::intptr_t Release(Handle<Tag>& handle) {
    handle.fs_ = nullptr;
    return std::exchange(handle.value_, 0);
  }
  // Closes what a handle of this file system holds.
  virtual void Close(std::intptr_t value) = 0;

  // The flush of one file, for the default FlushFiles.
  virtual std::error_code FlushFile(OpenFile& file) = 0;

 private:
  template <typename Tag>
  friend class Handle;
};

template <typename Tag>
void Handle<Tag>::Reset() {
  if (fs_ != nullptr) std::exchange(fs_, nullptr)->Close(value_);
  value_ = 0;
}

// Converts a UTC file time to the local time of this machine on the same
// scale, as the platform's time-zone rules give it for that instant. Empty
// when the platform cannot convert it.
std::optional<FileTime> FileTimeToLocalFileTime(FileTime utc);

}  // namespace tandrel
