// Copying one file so that nobody ever sees it half written at its place,
// and so that a failure leaves what was there as it was.
#pragma once

#include <string>
#include <system_error>

#include "platform/file_system.h"

namespace tandrel {

// The names of one sync run's temporary files: "~tandrel-<token>-<n>.tmp".
// The "~" keeps a leftover out of every comparison; the random token keeps
// two runs (or two programs) from reaching for the same names.
class TempNames {
 public:
  TempNames();
  std::string Next();

 private:
  std::string token_;
  unsigned long counter_ = 0;
};

// Copies `source` (read through a link) to `target`: the bytes and, on
// POSIX, the permission bits go into a new temporary file beside `target`,
// which gets the last-write time `source_time` and is then renamed to
// `target`. With `replace` an entry already at `target` (a file, or a link,
// which is replaced itself and never written through) gives way in that one
// rename; without it such an entry makes the copy fail with
// std::errc::file_exists. On any failure the temporary file is removed and
// `target` is as it was.
std::error_code SafeCopy(FileSystem& fs, const std::string& source, FileTime source_time,
                         const std::string& target, bool replace, TempNames& names);

// Deletes the one file at `path` and ignores every failure (missing,
// read-only, in use).
void DeleteFileQuiet(FileSystem& fs, const std::string& path);

}  // namespace tandrel
