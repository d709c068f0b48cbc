// Last-write times: as instants for comparing, and as the local date value
// (days since 1899-12-30 00:00, the fraction being the time of day) that
// people read.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace tandrel {

// The date value of a local file time: (t / 10 000) / 86 400 000 - 109 205.
double LocalFileTimeToDate(FileTime local);

// Converts a UTC file time to local time and then to a date value; 0 when
// the conversion to local time fails.
double FileTimeToDate(FileTime utc);

// The local date value of the file's last-write time (through a link), or
// empty when the file cannot be found.
std::optional<double> GetLastModified(FileSystem& fs, const std::string& path);

// The last-write instant of the file (through a link), or empty.
std::optional<FileTime> GetLastWriteTime(FileSystem& fs, const std::string& path);

// True when the file system can give the path's last-write time.
bool FileExists(FileSystem& fs, const std::string& path);

// Orders two last-write times at one-second resolution (the fraction of a
// second is dropped); no time is older than any time, and two missing times
// are equal. Negative: `a` is older; zero: the same; positive: `a` is newer.
int CompareWriteTimes(std::optional<FileTime> a, std::optional<FileTime> b);

// How the times of a pair of files are compared where one of them lies on
// FAT, which keeps times in 2-second steps and in local time: times at most
// 2 seconds apart are the same, and so are times a whole number of hours
// apart (at most 14, give or take 2 seconds) when `same_size` says the two
// files are equally long (a time-zone or summer-time shift, not an edit).
// `same_size` is asked only then. Elsewhere CompareWriteTimes stands.
int CompareWriteTimesOnFat(std::optional<FileTime> a, std::optional<FileTime> b,
                           const std::function<bool()>& same_size);

}  // namespace tandrel
