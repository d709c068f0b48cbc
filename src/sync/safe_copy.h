// Copying one file so that nobody ever sees it half written at its place,
// and so that a failure leaves what was there as it was: the copy is
// written to a temporary file beside its target, and only the sync run
// renames it into place once its data is on disk.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"
#include "sync/temp_names.h"

namespace tandrel {

// A copy written and held open under a temporary name, not yet in place.
struct TemporaryCopy {
  std::string name;
  OpenFile file;
  FileInfo source;  // the source as it was copied
};

// Copies the file `name` of `from` (read through a link at `name`) into a
// new temporary file of `to`. On failure nothing of it is left (unless even
// removing it failed; its name keeps it out of every comparison).
std::error_code WriteTemporaryCopy(FileSystem& fs, const Folder& from, std::string_view name,
                                   const Folder& to, TempNames& names, TemporaryCopy* copy,
                                   FollowLinks follow = FollowLinks::kYes,
                                   const CopyWatch* watch = nullptr);

// The same, copying again (up to three times in all) a source that was
// written to while it was copied, so that a copy is always one whole version
// of its source; std::errc::resource_unavailable_try_again when it kept
// changing.
std::error_code WriteWholeCopy(FileSystem& fs, const Folder& from, std::string_view name,
                               const Folder& to, TempNames& names, TemporaryCopy* copy,
                               FollowLinks follow = FollowLinks::kYes,
                               const CopyWatch* watch = nullptr);

// Removes a temporary copy that will not be put in place (held, or let go
// of and reached by its name) and lets go of it. A failure is not told, but
// the copy keeps its name then, so that its run can try again later (a
// share may refuse every request for a few seconds after an error).
void DeleteFileQuiet(FileSystem& fs, const Folder& folder, TemporaryCopy& copy);

}  // namespace tandrel
