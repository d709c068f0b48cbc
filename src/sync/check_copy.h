// Looking at what a driver really kept of a copy before (and, where the
// driver changes times on rename, after) it is put in place: a copy that
// lost bytes is never put in place because a driver said yes, and times the
// driver did not keep are set once more.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"

namespace tandrel {

// True when the two carry the same write time as a compare on `storage`
// sees times. `same_size`: the two are equally long, so that on FAT a
// whole-hour shift (a time-zone or summer-time change) is no change.
bool SameForCompare(const FileStamp& placed, const FileStamp& source, const Storage& storage,
                    bool same_size = false);

// True when `placed` carries the write time of `source` as exactly as the
// storage keeps times.
bool KeepsTime(const FileStamp& placed, const FileStamp& source, const Storage& storage);

// Reads back the file `name` of `folder`, a copy of `source`. The reason in
// words when its size is not the source's (the copy must not be used).
// When its write time is not the source's, the times are set once more and
// read back; `time_kept` then tells whether they now match as a compare
// would see them. `placed`, when given, is what was read back.
std::optional<std::string> CheckCopy(FileSystem& fs, const Folder& folder, std::string_view name,
                                     const FileInfo& source, const Storage& storage,
                                     bool* time_kept, FileInfo* placed = nullptr);

// The same for a copy already in place, whose size was checked: the times
// alone.
bool MendTimes(FileSystem& fs, const Folder& folder, std::string_view name, const FileInfo& source,
               const Storage& storage);

}  // namespace tandrel
