#include "sync/check_copy.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "compare/last_modified.h"
#include "sync/reason.h"

namespace tandrel {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int kLooksAfterSetting = 3;

// The distance between two write times in nanoseconds, capped far beyond
// any step a file system keeps.
std::int64_t NanosecondsApart(const FileStamp& a, const FileStamp& b) {
  const std::int64_t seconds = a.write_seconds - b.write_seconds;
  if (seconds > 1'000'000 || seconds < -1'000'000) return INT64_MAX;
  const std::int64_t apart = seconds * kNanosecondsPerSecond +
                             static_cast<std::int64_t>(a.write_nanoseconds) -
                             static_cast<std::int64_t>(b.write_nanoseconds);
  return std::llabs(apart);
}

FileTime WriteTimeOf(const FileStamp& stamp) {
  return FileTimeFromUnix(stamp.write_seconds, stamp.write_nanoseconds);
}

std::string SizeMismatch(std::int64_t placed, std::int64_t source) {
  const bool shorter = placed < source;
  return std::string(shorter ? "The copy came out shorter" : "The copy came out longer") +
         " than the file to copy (" + std::to_string(placed) + " of " + std::to_string(source) +
         " bytes), so it was not put in place. The file system did not keep what was written.";
}

}  // namespace

bool SameForCompare(const FileStamp& placed, const FileStamp& source, const Storage& storage,
                    bool same_size) {
  const std::optional<FileTime> a = WriteTimeOf(placed);
  const std::optional<FileTime> b = WriteTimeOf(source);
  if (storage.local_time) return CompareWriteTimesOnFat(a, b, [&] { return same_size; }) == 0;
  return CompareWriteTimes(a, b) == 0;
}

bool KeepsTime(const FileStamp& placed, const FileStamp& source, const Storage& storage) {
  const std::int64_t step = std::max<std::int64_t>(1, storage.time_step_ns);
  // Within the storage's step, and on the same side of a whole second, as a
  // compare sees times (a driver that stamps 0.4 s later is not "close").
  return NanosecondsApart(placed, source) < step && SameForCompare(placed, source, storage);
}

bool MendTimes(FileSystem& fs, const Folder& folder, std::string_view name, const FileInfo& source,
               const Storage& storage) {
  FileInfo placed;
  if (fs.StatAt(folder, name, FollowLinks::kNo, &placed)) return false;
  if (KeepsTime(placed.stamp, source.stamp, storage)) return true;
  if (fs.SetTimesAt(folder, name, source))
    return SameForCompare(placed.stamp, source.stamp, storage);
  // A network driver may answer from its cache for a moment after the
  // change: it is given a few chances to show what it now keeps.
  for (int look = 0; look < kLooksAfterSetting; ++look) {
    if (look > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50 * look));
    if (fs.StatAt(folder, name, FollowLinks::kNo, &placed)) return false;
    if (KeepsTime(placed.stamp, source.stamp, storage)) return true;
    if (!storage.remote) break;
  }
  // Coarser than we knew (a file system that keeps whole seconds, say), yet
  // as good as the compare needs.
  return SameForCompare(placed.stamp, source.stamp, storage);
}

std::optional<std::string> CheckCopy(FileSystem& fs, const Folder& folder, std::string_view name,
                                     const FileInfo& source, const Storage& storage,
                                     bool* time_kept, FileInfo* placed_out) {
  FileInfo placed;
  if (std::error_code ec = fs.StatAt(folder, name, FollowLinks::kNo, &placed)) {
    return Sentence(ec);
  }
  if (placed_out != nullptr) *placed_out = placed;
  if (placed.stamp.size != source.stamp.size) {
    return SizeMismatch(placed.stamp.size, source.stamp.size);
  }
  *time_kept = KeepsTime(placed.stamp, source.stamp, storage) ||
               MendTimes(fs, folder, name, source, storage);
  return std::nullopt;
}

}  // namespace tandrel
