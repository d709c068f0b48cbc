#include "sync/target_ledger.h"

#include <algorithm>
#include <vector>

namespace tandrel {

void TargetLedger::FindRepeated(
    int count, const std::function<std::optional<std::string>(int, bool first)>& key_of) {
  std::vector<size_t> hashes;
  for (int position = 1; position <= count; ++position) {
    if (std::optional<std::string> key = key_of(position, true)) {
      hashes.push_back(std::hash<std::string>{}(*key));
    }
  }
  std::sort(hashes.begin(), hashes.end());
  std::unordered_set<size_t> shared;
  for (size_t i = 1; i < hashes.size(); ++i) {
    if (hashes[i] == hashes[i - 1]) shared.insert(hashes[i]);
  }
  if (shared.empty()) return;
  std::unordered_set<std::string> seen;
  for (int position = 1; position <= count; ++position) {
    std::optional<std::string> key = key_of(position, false);
    if (!key || !shared.contains(std::hash<std::string>{}(*key))) continue;
    if (!seen.insert(*key).second) repeated_.insert(std::move(*key));
  }
}

const TargetLedger::Written* TargetLedger::WrittenAt(const std::string& key) const {
  const auto found = written_.find(key);
  return found == written_.end() ? nullptr : &found->second;
}

void TargetLedger::RecordWritten(const std::string& key, FileTime source_time,
                                 std::optional<FileStamp> stamp) {
  Written& mine = written_[key];
  mine.source_time = source_time;
  mine.stamp = std::move(stamp);
}

}  // namespace tandrel
