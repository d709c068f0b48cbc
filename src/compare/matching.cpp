#include "compare/matching.h"

#include <bit>
#include <functional>

#include "compare/last_modified.h"

namespace tandrel {
namespace {

// Where a name's probe starts, and the part of its hash that a slot keeps.
struct NameHash {
  size_t start;
  std::uint32_t tag;
};

NameHash HashName(std::string_view name) {
  const size_t hash = std::hash<std::string_view>{}(name);
  return {hash, static_cast<std::uint32_t>(static_cast<std::uint64_t>(hash) >> 32)};
}

// How often the long loops look at the stop token.
constexpr size_t kStopCheckInterval = 4096;

}  // namespace

NameIndex::NameIndex(const FileList& list) : list_(list), next_(list.size(), kNone) {
  const size_t capacity = std::bit_ceil(list.size() * 2 + 2);
  slots_.assign(capacity, Slot{});
  mask_ = capacity - 1;
  // Going backwards and putting each file in front of its chain leaves every
  // chain in list order.
  for (size_t i = list.size(); i-- > 0;) {
    const std::string_view name = list.Name(i);
    const NameHash hash = HashName(name);
    for (size_t s = hash.start & mask_;; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      if (slot.file == 0) {
        slot = {static_cast<std::uint32_t>(i + 1), hash.tag};
        break;
      }
      if (slot.hash == hash.tag && list.Name(slot.file - 1) == name) {
        next_[i] = slot.file - 1;
        slot.file = static_cast<std::uint32_t>(i + 1);
        break;
      }
    }
  }
}

std::uint32_t NameIndex::First(std::string_view name) const {
  const NameHash hash = HashName(name);
  for (size_t s = hash.start & mask_;; s = (s + 1) & mask_) {
    const Slot& slot = slots_[s];
    if (slot.file == 0) return kNone;
    if (slot.hash == hash.tag && list_.Name(slot.file - 1) == name) return slot.file - 1;
  }
}

std::vector<std::uint32_t> FirstNamesakes(const FileList& list, const NameIndex& other) {
  std::vector<std::uint32_t> first(list.size());
  for (size_t i = 0; i < list.size(); ++i) first[i] = other.First(list.Name(i));
  return first;
}

std::vector<std::uint32_t> UnmatchedFiles(const std::vector<std::uint32_t>& first_namesakes) {
  std::vector<std::uint32_t> result;
  for (size_t i = 0; i < first_namesakes.size(); ++i) {
    if (first_namesakes[i] == NameIndex::kNone) result.push_back(static_cast<std::uint32_t>(i));
  }
  return result;
}

std::vector<Overwrite> ProposeOverwrites(const FileList& list1, const FileList& list2,
                                         const std::vector<std::uint32_t>& first_namesakes1,
                                         const NameIndex& index2, FileSystem& fs,
                                         std::stop_token stop, const FatTimes& fat) {
  std::vector<Overwrite> result;
  size_t steps = 0;
  for (size_t i = 0; i < list1.size(); ++i) {
    for (std::uint32_t j = first_namesakes1[i]; j != NameIndex::kNone; j = index2.Next(j)) {
      if (++steps % kStopCheckInterval == 0 && stop.stop_requested()) return result;
      const std::optional<FileTime> time1 = list1.WriteTime(i, fs);
      const std::optional<FileTime> time2 = list2.WriteTime(j, fs);
      const auto same_size = [&] { return fat.same_size(static_cast<std::uint32_t>(i), j); };
      const int order = fat.on_fat ? CompareWriteTimesOnFat(time1, time2, same_size)
                                   : CompareWriteTimes(time1, time2);
      if (order != 0) result.push_back({order > 0, static_cast<std::uint32_t>(i), j});
    }
  }
  return result;
}

}  // namespace tandrel
