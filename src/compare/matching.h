// The matching rules: files are matched by file name part alone (exact,
// case-sensitive), whatever subfolder they lie in. Lookups are hashed, and
// give exactly the results, in exactly the order, of comparing every entry
// of one list with every entry of the other.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <vector>

#include "compare/file_list.h"
#include "platform/file_system.h"

namespace tandrel {

// For each name of a file list, its files in list order.
class NameIndex {
 public:
  explicit NameIndex(const FileList& list);
  static constexpr std::uint32_t kNone = UINT32_MAX;
  // The first file with this name, or kNone.
  std::uint32_t First(std::string_view name) const;
  // The next file with the same name as file `i`, or kNone.
  std::uint32_t Next(std::uint32_t i) const { return next_[i]; }

 private:
  struct Slot {
    std::uint32_t file = 0;  // file number + 1; 0 is an empty slot
    std::uint32_t hash = 0;  // part of the name's hash, to skip most name comparisons
  };
  const FileList& list_;
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> next_;
  size_t mask_ = 0;
};

// For each file of `list`, the first file of the other list (the one that
// `other` indexes) with the same name, or NameIndex::kNone. Computed once per
// side, it serves every pass below.
std::vector<std::uint32_t> FirstNamesakes(const FileList& list, const NameIndex& other);

// The files whose name occurs nowhere in the other list, in order.
std::vector<std::uint32_t> UnmatchedFiles(const std::vector<std::uint32_t>& first_namesakes);

struct Overwrite {
  bool from_list1;      // the newer file is the one of list 1
  std::uint32_t file1;  // in list 1
  std::uint32_t file2;  // in list 2
};

// Where either tree lies on FAT, times are compared as FAT keeps them (see
// CompareWriteTimesOnFat); `same_size(file1, file2)` tells whether two files
// are equally long.
struct FatTimes {
  bool on_fat = false;
  std::function<bool(std::uint32_t, std::uint32_t)> same_size;
};

// For every file of list 1 in order, and within it every namesake in list 2
// in order, the pair whose last-write times differ at one second: the newer
// overwrites the older. Times are read from `fs` once per file, and only for
// files that have a namesake.
std::vector<Overwrite> ProposeOverwrites(const FileList& list1, const FileList& list2,
                                         const std::vector<std::uint32_t>& first_namesakes1,
                                         const NameIndex& index2, FileSystem& fs,
                                         std::stop_token stop = {}, const FatTimes& fat = {});

}  // namespace tandrel
