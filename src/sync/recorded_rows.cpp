#include "sync/recorded_rows.h"

#include <algorithm>
#include <unordered_map>

namespace tandrel {
namespace {

// The outcome of the row whose intents came first.
void Settle(RecordedRow& row, bool took_place) {
  if (took_place) {
    // A keep that could not be made is told by an unkept after it.
    if (!row.done) {
      row.unkept = row.pending_unkept;
      if (!row.unkept) row.kept = row.pending_keep;
    }
    row.done = true;
    row.put.reset();
    if (!row.pending_puts.empty()) row.put = row.pending_puts.front().stamp;
  }
  if (!row.pending_puts.empty()) row.pending_puts.erase(row.pending_puts.begin());
  // The keep and unkept go with the first row.
  row.pending_keep.reset();
  row.pending_unkept = false;
  row.pending = !row.pending_puts.empty();
}

}  // namespace

std::vector<RecordedRow> RowsOf(const std::vector<JournalEntry>& entries) {
  std::vector<RecordedRow> rows;
  std::vector<size_t> last;  // of each row, the index of its last entry
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < entries.size(); ++i) {
    const JournalEntry& entry = entries[i];
    if (entry.kind == JournalEntry::kFolder || entry.kind == JournalEntry::kMount) continue;
    const auto [at, added] = index.try_emplace(entry.path, rows.size());
    if (added) {
      rows.emplace_back().path = entry.path;
      last.push_back(0);
    }
    RecordedRow& row = rows[at->second];
    last[at->second] = i;
    switch (entry.kind) {
      case JournalEntry::kKeep:
        row.pending = true;
        row.pending_keep = KeptEntry{entry.name, entry.stamp};
        break;
      case JournalEntry::kUnkept:
        row.pending = true;
        row.pending_unkept = true;
        break;
      case JournalEntry::kPut:
        row.pending = true;
        row.pending_puts.push_back(entry);
        break;
      case JournalEntry::kDone:
        Settle(row, true);
        break;
      case JournalEntry::kNot:
        Settle(row, false);
        break;
      case JournalEntry::kUndone:
        row.undone = true;
        break;
      case JournalEntry::kFolder:
      case JournalEntry::kMount:
        break;
    }
  }
  std::vector<size_t> order(rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return last[a] > last[b]; });
  std::vector<RecordedRow> ordered;
  ordered.reserve(rows.size());
  for (size_t i : order) ordered.push_back(std::move(rows[i]));
  return ordered;
}

}  // namespace tandrel
