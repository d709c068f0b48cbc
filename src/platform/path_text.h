// A path's text cut into names and put back together. Written for the
// platform's separator and, by passing '/', for the '/'-joined paths that
// the run's journal records below a tree's top (the same on every system,
// so that a journal written on one reads on another). Where the name after
// the last separator is wanted, compare/file_name.h has FileNamePart.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "platform/separator.h"

namespace tandrel {

// Puts a separator at the end of `path` unless it ends with one already, so
// that a name can be appended; an empty path becomes the separator alone.
inline void EndWithSeparator(std::string* path, char separator = kSeparator) {
  if (path->empty() || path->back() != separator) *path += separator;
}

// `path` without the separators it ends with.
constexpr std::string_view TrimTrailingSeparators(std::string_view path,
                                                  char separator = kSeparator) {
  while (!path.empty() && path.back() == separator) path.remove_suffix(1);
  return path;
}

// The folder part of `path`: up to and including its last separator; empty
// when it has none.
constexpr std::string_view FolderPart(std::string_view path, char separator = kSeparator) {
  const size_t cut = path.rfind(separator);
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1);
}

// The path of the folder that holds what `path` names: the folder part
// without its last separator; empty when it has none.
constexpr std::string_view ParentPath(std::string_view path, char separator = kSeparator) {
  const size_t cut = path.rfind(separator);
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

// The first name of `*rest`, taken off it together with the separator after
// it. Two separators in a row give an empty name; a caller that walks
// folders decides what that means.
constexpr std::string_view TakeFirstName(std::string_view* rest, char separator = kSeparator) {
  const size_t cut = rest->find(separator);
  const std::string_view name = rest->substr(0, cut);
  *rest = cut == std::string_view::npos ? std::string_view() : rest->substr(cut + 1);
  return name;
}

// `names` with one separator between each two.
inline std::string JoinNames(std::span<const std::string_view> names, char separator = kSeparator) {
  std::string path;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) path += separator;
    path += names[i];
  }
  return path;
}

// A '/'-joined path with the platform's separators.
inline std::string WithSeparators(std::string_view slashed) {
  std::string path(slashed);
  std::replace(path.begin(), path.end(), '/', kSeparator);
  return path;
}

// A path with the platform's separators, '/'-joined.
inline std::string WithSlashes(std::string_view path) {
  std::string slashed(path);
  std::replace(slashed.begin(), slashed.end(), kSeparator, '/');
  return slashed;
}

}  // namespace tandrel
