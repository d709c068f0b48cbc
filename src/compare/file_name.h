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

}  // namespace tandrel
