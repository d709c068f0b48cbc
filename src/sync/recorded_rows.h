// What a run's journal (journal.h) says of each path the run touched: the
// rows that took place there, taken together, and the intents that never
// got an outcome because the run was cut short.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "sync/journal.h"

namespace tandrel {

struct KeptEntry {
  std::string name;  // in the run's files folder, beside the path's folders
  FileStamp stamp;   // of the file when it was moved aside
};

struct RecordedRow {
  std::string path;
  // --- Of the rows that took place there, in order.
  bool done = false;
  std::optional<KeptEntry> kept;  // what stood there before the first
  bool unkept = false;            // the first replaced it without keeping
  std::optional<FileStamp> put;   // what the last put there (none: it only removed)
  bool undone = false;            // a later undo took them back
  // --- Intents without an outcome yet (all of them where the run was cut
  // short). Several rows of one batch may write one path: outcomes come in
  // the order of the intents, the keep with the first.
  bool pending = false;
  std::optional<KeptEntry> pending_keep;
  bool pending_unkept = false;
  std::vector<JournalEntry> pending_puts;  // their names are the temporaries'
};

// The rows of a journal's entries, one a path, the path last written first.
// Linear in the entries.
std::vector<RecordedRow> RowsOf(const std::vector<JournalEntry>& entries);

}  // namespace tandrel
