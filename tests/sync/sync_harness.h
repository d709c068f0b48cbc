// What the sync tests share: the times they give files, a sync of /a/ into
// /b/ on the fake file system, the rows they write by hand, and the check
// that two trees are in step after a sync.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/window.h"
#include "support/fake_file_system.h"
#include "sync/sync_run.h"

namespace tandrel::testing {

inline constexpr FileTime kSecond = kFileTimeTicksPerSecond;
inline constexpr FileTime kHour = 3600 * kSecond;
inline constexpr FileTime kDay = 24 * kHour;
inline constexpr FileTime kOld = 125'911'584'000'000'000;  // 2000-01-01 00:00 UTC
inline constexpr FileTime kNew = kOld + kDay;

// What a sync ended with.
struct Synced {
  bool performed = false;
  std::vector<PlanRow> rows;
  std::vector<std::string> messages;
};

// Syncs /a/ into /b/ (and back): `rows`, or the compare's own rows, all
// ticked, when none are given.
Synced Sync(FakeFileSystem& fs, std::vector<PlanRow> rows = {}, SyncOptions options = {});

SyncOptions KeepGoing();

// A ticked row that copies `source` into /b/, and one that overwrites
// `destination` with `source`.
PlanRow CopyRow(const std::string& source);
PlanRow OverwriteRow(const std::string& source, const std::string& destination);

// /a/ and /b/ are in step: a compare proposes nothing, and no temporary
// file is left anywhere.
void ExpectInStep(FakeFileSystem& fs);

}  // namespace tandrel::testing
