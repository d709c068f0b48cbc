#include "compare/last_modified.h"

#include <cstdint>

namespace tandrel {
namespace {

FileTime WholeSeconds(FileTime t) {
  FileTime seconds = t / kFileTimeTicksPerSecond;
  if (t % kFileTimeTicksPerSecond < 0) --seconds;
  return seconds;
}

}  // namespace

double LocalFileTimeToDate(FileTime local) {
  return (static_cast<double>(local) / 10'000.0) / 86'400'000.0 - 109'205.0;
}

double FileTimeToDate(FileTime utc) {
  const std::optional<FileTime> local = FileTimeToLocalFileTime(utc);
  return local ? LocalFileTimeToDate(*local) : 0.0;
}

std::optional<FileTime> GetLastWriteTime(FileSystem& fs, const std::string& path) {
  FileInfo info;
  if (fs.Stat(path, FollowLinks::kYes, &info)) return std::nullopt;
  return info.write_time;
}

std::optional<double> GetLastModified(FileSystem& fs, const std::string& path) {
  const std::optional<FileTime> time = GetLastWriteTime(fs, path);
  if (!time) return std::nullopt;
  return FileTimeToDate(*time);
}

bool FileExists(FileSystem& fs, const std::string& path) {
  return GetLastWriteTime(fs, path).has_value();
}

int CompareWriteTimes(std::optional<FileTime> a, std::optional<FileTime> b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  const FileTime sa = WholeSeconds(*a);
  const FileTime sb = WholeSeconds(*b);
  return sa < sb ? -1 : (sa > sb ? 1 : 0);
}

int CompareWriteTimesOnFat(std::optional<FileTime> a, std::optional<FileTime> b,
                           const std::function<bool()>& same_size) {
  const int order = CompareWriteTimes(a, b);
  if (order == 0 || !a || !b) return order;
  // Unsigned: the distance between two saturated times does not fit a
  // signed count.
  using Ticks = std::uint64_t;
  constexpr Ticks kSlack = 2 * kFileTimeTicksPerSecond;
  constexpr Ticks kHour = 3600 * kFileTimeTicksPerSecond;
  constexpr Ticks kMostHours = 14;
  const Ticks apart = *a > *b ? static_cast<Ticks>(*a) - static_cast<Ticks>(*b)
                              : static_cast<Ticks>(*b) - static_cast<Ticks>(*a);
  if (apart <= kSlack) return 0;
  if (apart > kMostHours * kHour + kSlack) return order;
  const Ticks hours = (apart + kSlack) / kHour;
  const Ticks near = hours * kHour;
  const Ticks off = apart > near ? apart - near : near - apart;
  if (hours >= 1 && off <= kSlack && same_size && same_size()) return 0;
  return order;
}

}  // namespace tandrel
