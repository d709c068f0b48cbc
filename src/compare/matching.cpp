#include "compare/matching.h"

#include <bit>
#include <functional>

#include "compare/last_modified.h"

namespace tandrel {
namespace {

size_t HashName(std::string_view name) { return std::hash<std::string_view>{}(name); }

// How often the long loops look at the stop token.
constexpr size_t kStopCheckInterval = 4096;

}  // namespace

NameIndex::NameIndex(const FileList& list) : list_(list), next_(list.size(), kNone) {
  const size_t capacity = std::bit_ceil(list.size() * 2 + 2);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  // Going backwards and putting each file in front of its chain leaves every
  // chain in list order.
  for (size_t i = list.size(); i-- > 0;) {
    const std::string_view name = list.Name(i);
    for (size_t s = HashName(name) & mask_;; s = (s + 1) & mask_) {
      if (slots_[s] == 0) {
        slots_[s] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      if (list.Name(slots_[s] - 1) == name) {
        next_[i] = slots_[s] - 1;
        slots_[s] = static_cast<std::uint32_t>(i + 1);
        break;
      }
    }
  }
}

std::uint32_t NameIndex::First(std::string_view name) const {
  for (size_t s = HashName(name) & mask_;; s = (s + 1) & mask_) {
    if (slots_[s] == 0) return kNone;
    if (list_.Name(slots_[s] - 1) == name) return slots_[s] - 1;
  }
}

std::vector<std::uint32_t> UnmatchedFiles(const FileList& report, const NameIndex& search,
                                          std::stop_token stop) {
  std::vector<std::uint32_t> result;
  for (size_t i = 0; i < report.size(); ++i) {
    if (i % kStopCheckInterval == 0 && stop.stop_requested()) break;
    if (search.First(report.Name(i)) == NameIndex::kNone) {
      result.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return result;
}

std::vector<Overwrite> ProposeOverwrites(const FileList& list1, const FileList& list2,
                                         const NameIndex& index2, FileSystem& fs,
                                         std::stop_token stop) {
  std::vector<Overwrite> result;
  size_t steps = 0;
  for (size_t i = 0; i < list1.size(); ++i) {
    std::uint32_t j = index2.First(list1.Name(i));
    for (; j != NameIndex::kNone; j = index2.Next(j)) {
      if (++steps % kStopCheckInterval == 0 && stop.stop_requested()) return result;
      const int order = CompareWriteTimes(list1.WriteTime(i, fs), list2.WriteTime(j, fs));
      if (order != 0) result.push_back({order > 0, static_cast<std::uint32_t>(i), j});
    }
    if (i % kStopCheckInterval == 0 && stop.stop_requested()) break;
  }
  return result;
}

}  // namespace tandrel
