#include "sync/kept_runs.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <random>

#include "platform/path_text.h"

namespace tandrel {
namespace {

bool ReadNumber(std::string_view text, std::int64_t* number) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *number);
  return ec == std::errc() && end == text.data() + text.size();
}

// Days since 1970-01-01 of a date of the Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// When a run of an earlier build began, by its folder's name in local
// time ("2026-12-07 181000", perhaps then " (2)"): such a record is not
// undone by this build, only removed once it is old enough.
std::optional<std::int64_t> EarlierBuildsRunStart(std::string_view name) {
  std::int64_t y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
  if (name.size() < 17 || name[4] != '-' || name[7] != '-' || name[10] != ' ' ||
      (name.size() > 17 && name[17] != ' ') || !ReadNumber(name.substr(0, 4), &y) ||
      !ReadNumber(name.substr(5, 2), &m) || !ReadNumber(name.substr(8, 2), &d) ||
      !ReadNumber(name.substr(11, 2), &hh) || !ReadNumber(name.substr(13, 2), &mm) ||
      !ReadNumber(name.substr(15, 2), &ss)) {
    return std::nullopt;
  }
  // Local time is within a day of UTC: a day's margin keeps it at least as
  // long as asked.
  return DaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss - 86400;
}

std::vector<std::string> RunsInReplaced(FileSystem& fs, const Folder& replaced) {
  std::vector<DirEntry> entries;
  if (fs.List(replaced, &entries)) return {};
  std::vector<std::string> runs;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder && ReadRunName(entry.name)) runs.push_back(entry.name);
  }
  std::sort(runs.begin(), runs.end(), [](const std::string& a, const std::string& b) {
    const RunName x = *ReadRunName(a), y = *ReadRunName(b);
    return std::tie(x.sequence, x.utc_seconds, a) < std::tie(y.sequence, y.utc_seconds, b);
  });
  return runs;
}

}  // namespace

std::string NewRunId() {
  std::random_device random;
  std::uint64_t id = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(id));
  return text;
}

std::string RunFolderName(const RunHeading& heading) {
  const std::int64_t days =
      (heading.utc_seconds >= 0 ? heading.utc_seconds : heading.utc_seconds - 86399) / 86400;
  const std::int64_t second_of_day = heading.utc_seconds - days * 86400;
  // The date of `days` (the inverse of DaysFromCivil).
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp + (mp < 10 ? 3 : -9);
  const std::int64_t y = yoe + era * 400 + (m <= 2);
  char text[160];
  std::snprintf(
      text, sizeof text, "%04lld-%02lld-%02lld %02lld%02lld%02lldZ %lld ",
      static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
      static_cast<long long>(second_of_day / 3600), static_cast<long long>(second_of_day / 60 % 60),
      static_cast<long long>(second_of_day % 60), static_cast<long long>(heading.sequence));
  return text + heading.id.substr(0, 8);
}

std::optional<RunName> ReadRunName(std::string_view name) {
  // "YYYY-MM-DD HHMMSSZ <sequence> <id>"
  if (name.size() < 22 || name[4] != '-' || name[7] != '-' || name[10] != ' ' || name[17] != 'Z' ||
      name[18] != ' ') {
    return std::nullopt;
  }
  std::int64_t y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
  RunName run;
  const size_t blank = name.find(' ', 19);
  if (blank == std::string_view::npos || blank + 1 >= name.size() ||
      !ReadNumber(name.substr(0, 4), &y) || !ReadNumber(name.substr(5, 2), &m) ||
      !ReadNumber(name.substr(8, 2), &d) || !ReadNumber(name.substr(11, 2), &hh) ||
      !ReadNumber(name.substr(13, 2), &mm) || !ReadNumber(name.substr(15, 2), &ss) ||
      !ReadNumber(name.substr(19, blank - 19), &run.sequence)) {
    return std::nullopt;
  }
  run.utc_seconds = DaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
  return run;
}

std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced) {
  if (std::error_code ec = fs.OpenFolder(top, kRecordFolder, record)) return ec;
  return fs.OpenFolder(*record, kReplacedFolder, replaced);
}

std::string RunFolderText(std::string_view top_text, std::string_view run) {
  const std::string_view names[] = {kRecordFolder, kReplacedFolder, run};
  return std::string(top_text) + JoinNames(names);
}

std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top) {
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return {};
  return RunsInReplaced(fs, replaced);
}

std::int64_t NextSequence(FileSystem& fs, const std::vector<const Folder*>& tops) {
  std::int64_t last = 0;
  for (const Folder* top : tops) {
    for (const std::string& run : RunsIn(fs, *top)) {
      last = std::max(last, ReadRunName(run)->sequence);
    }
  }
  return last + 1;
}

bool ReadRunJournal(FileSystem& fs, const Folder& top, std::string_view name, Journal* journal) {
  Folder record;
  Folder replaced;
  Folder run;
  return !OpenReplaced(fs, top, &record, &replaced) && !fs.OpenFolder(replaced, name, &run) &&
         ReadJournal(fs, run, journal);
}

bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name) {
  Folder folder;
  std::vector<DirEntry> entries;
  if (fs.OpenFolder(parent, name, &folder) || fs.List(folder, &entries)) return false;
  bool all = true;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder) {
      all = RemoveTree(fs, folder, entry.name) && all;
      continue;
    }
    // Links and anything else that is not a folder go as files do.
    bool removed = false;
    all = !fs.RemoveIfNotHeld(folder, entry.name, &removed) && removed && all;
  }
  folder.Reset();
  return all && !fs.RemoveEmptyFolder(parent, name);
}

namespace {

// Removes the folder `run` of `replaced` (the record of the tree under
// `top`), after the folders of the same name at the mounts it lists.
bool RemoveRunFolder(FileSystem& fs, const Folder& top, const Folder& replaced,
                     std::string_view run) {
  std::vector<std::string> mounts;
  {
    Folder folder;
    if (!fs.OpenFolder(replaced, run, &folder)) mounts = ReadMounts(fs, folder);
  }
  for (const std::string& mount : mounts) {
    Folder at;
    if (!fs.OpenBeneath(top, WithSeparators(mount), &at)) RemoveRun(fs, at, run);
  }
  return RemoveTree(fs, replaced, run);
}

}  // namespace

std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare, size_t at_most) {
  std::vector<std::string> removed;
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return removed;
  std::vector<std::string> runs = RunsInReplaced(fs, replaced);
  // Oldest first by when they began.
  std::stable_sort(runs.begin(), runs.end(), [](const std::string& a, const std::string& b) {
    return ReadRunName(a)->utc_seconds < ReadRunName(b)->utc_seconds;
  });
  for (const std::string& run : runs) {
    if (removed.size() >= at_most) break;
    if (run == spare || ReadRunName(run)->utc_seconds >= before) continue;
    // A run cut short keeps its record until it is recovered. (The folder
    // is let go of before it is removed.)
    {
      Folder folder;
      Journal journal;
      if (!fs.OpenFolder(replaced, run, &folder) && !MarkedEnded(fs, folder) &&
          ReadJournal(fs, folder, &journal) && !journal.ended) {
        continue;
      }
    }
    if (RemoveRunFolder(fs, top, replaced, run)) removed.push_back(run);
  }
  std::vector<DirEntry> entries;
  if (removed.size() < at_most && !fs.List(replaced, &entries)) {
    for (const DirEntry& entry : entries) {
      if (removed.size() >= at_most || entry.kind != EntryKind::kFolder) continue;
      const std::optional<std::int64_t> began = EarlierBuildsRunStart(entry.name);
      if (began && *began < before && RemoveTree(fs, replaced, entry.name)) {
        removed.push_back(entry.name);
      }
    }
  }
  if (!removed.empty()) (void)fs.FlushFolder(replaced);
  return removed;
}

void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name) {
  // Each folder is let go of before it is removed: Windows removes a folder
  // only once nobody holds it.
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced) || !RemoveRunFolder(fs, top, replaced, name)) {
    return;
  }
  replaced.Reset();
  if (fs.RemoveEmptyFolder(record, kReplacedFolder)) return;
  record.Reset();
  (void)fs.RemoveEmptyFolder(top, kRecordFolder);
}

}  // namespace tandrel
