// Which targets more than one row of a run writes, and what the run put
// there: a plain copy may replace only a file this run wrote, and of
// several rows that write one target the newest source ends there,
// whatever the rows' order.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/file_system.h"

namespace tandrel {

class TargetLedger {
 public:
  // Finds the targets that more than one ticked row writes: only for these
  // must the run remember what it put there. `key_of` gives the key of the
  // target of the row at a position (see ComparedTrees::KeyOf), or nothing
  // for a row not performed; it is asked twice for each position, `first`
  // telling which time. Hashes come first, so that only the targets that
  // may repeat are kept as text: a plan of millions of rows needs no set of
  // all its targets.
  void FindRepeated(int count,
                    const std::function<std::optional<std::string>(int, bool first)>& key_of);

  bool Repeated(const std::string& key) const { return repeated_.contains(key); }

  // The targets of the rows dispatched and not yet committed.
  void AddPending(const std::string& key) { pending_.insert(key); }
  bool Pending(const std::string& key) const { return pending_.contains(key); }
  void ClearPending() { pending_.clear(); }

  // This run writes `key` before a row dispatched now.
  bool Ours(const std::string& key) const { return written_.contains(key) || Pending(key); }

  // What this run put at a repeated target: its stamp (empty when it could
  // not tell), so that a later row may replace it and nothing else, and
  // its source's time, so that only a newer source does.
  struct Written {
    std::optional<FileStamp> stamp;
    FileTime source_time = 0;
  };
  const Written* WrittenAt(const std::string& key) const;
  void RecordWritten(const std::string& key, FileTime source_time, std::optional<FileStamp> stamp);

 private:
  std::unordered_set<std::string> repeated_;
  std::unordered_set<std::string> pending_;
  std::unordered_map<std::string, Written> written_;
};

}  // namespace tandrel
