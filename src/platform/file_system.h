// The narrow seam to the operating system's file system. The walk, the time
// lookups and the safe copy are built on these primitives, so that an
// in-memory fake reaches every step of them in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/separator.h"

namespace tandrel {

// A point in time as a count of 100-nanosecond intervals since
// 1601-01-01 00:00 UTC (the Windows FILETIME scale). Always UTC; local time
// exists only as the date value shown to people (see compare/last_modified.h).
using FileTime = std::int64_t;

inline constexpr FileTime kFileTimeTicksPerSecond = 10'000'000;
// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kUnixEpochInFileTimeSeconds = 11'644'473'600;

enum class EntryKind : std::uint8_t {
  kFile,        // a plain file, or a link whose target is a file or missing
  kFolder,      // a real folder (never a link or junction)
  kFolderLink,  // a link, junction or other reparse point to a folder: never walked
  kOther,       // a device, pipe or socket: neither walked nor listed
};

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kFile;
  // Hidden or system on Windows; a name starting with '.' on POSIX.
  bool hidden = false;
  // The last-write time when the listing gives it for free (Windows find
  // data); otherwise empty, and a caller that needs it asks Stat.
  std::optional<FileTime> write_time;
};

struct FileInfo {
  EntryKind kind = EntryKind::kFile;
  FileTime write_time = 0;
  // POSIX permission bits (0 on Windows).
  std::uint32_t permissions = 0;
  // True when the path itself is a symbolic link or junction (only reported
  // when Stat is asked not to follow links).
  bool is_link = false;
};

enum class FollowLinks : bool { kNo = false, kYes = true };

// Every primitive reports failure as an error code (errno or Win32 values)
// and never throws. Paths hold the platform's own bytes (UTF-8 on Windows).
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Lists the entries of `folder` (with or without a trailing separator) in
  // the order the file system returns them, without "." and "..". Replaces
  // the contents of `entries`. An error means the folder could not be opened
  // or read to its end; `entries` is then unspecified.
  virtual std::error_code ListFolder(const std::string& folder, std::vector<DirEntry>* entries) = 0;

  // Kind, last-write time and permissions of `path`. With FollowLinks::kYes a
  // link reports its target (and fails when the target is missing).
  virtual std::error_code Stat(const std::string& path, FollowLinks follow, FileInfo* info) = 0;

  // The last-write times (through links) of files of `folder` (a path
  // ending in a separator), in the order of `names`; empty for a file whose
  // time cannot be read. Replaces the contents of `times`. The default asks
  // Stat for each; a real file system can do better than resolving the
  // whole path every time.
  virtual void WriteTimesIn(const std::string& folder, const std::vector<std::string_view>& names,
                            std::vector<std::optional<FileTime>>* times);

  // Creates `to`, which must not exist, and copies the bytes of `from` into
  // it (reading through a link at `from`), together with the permission bits
  // on POSIX. On failure `to` may be left behind partly written, and the
  // caller removes it.
  virtual std::error_code CopyContents(const std::string& from, const std::string& to) = 0;

  // Sets the last-write time of `path` (not following a link at `path`).
  virtual std::error_code SetWriteTime(const std::string& path, FileTime time) = 0;

  // Renames `from` to `to`. With `replace` an existing entry at `to` (a file
  // or a link, never followed) is replaced in one step; without it the
  // rename fails with std::errc::file_exists when `to` exists.
  virtual std::error_code Rename(const std::string& from, const std::string& to, bool replace) = 0;

  // Removes the file or link at `path` (never a folder).
  virtual std::error_code Remove(const std::string& path) = 0;
};

// Converts a UTC file time to the local time of this machine on the same
// scale, as the platform's time-zone rules give it for that instant. Empty
// when the platform cannot convert it.
std::optional<FileTime> FileTimeToLocalFileTime(FileTime utc);

}  // namespace tandrel
