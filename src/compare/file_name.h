// The file name part of a path: the key by which the two trees are matched,
// and the name under which a file is copied into a folder.
#pragma once

#include <string_view>

#include "platform/separator.h"

namespace tandrel {

// The text after the last separator; the whole path when it has none; empty
// when the path ends with a separator. Only `separator` separates.
constexpr std::string_view FileNamePart(std::string_view path, char separator = kSeparator) {
  const size_t cut = path.rfind(separator);
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

// What a sync keeps at the top of each tree it writes to (sync/kept_runs.h):
// whatever has this name there, folder or file, takes no part in a compare.
inline constexpr std::string_view kRecordName = ".tandrel";

}  // namespace tandrel
