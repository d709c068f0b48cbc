// A fresh folder on the real disk for one test, removed with everything in
// it when the test ends.
#pragma once

#include <string>

#include "platform/file_system.h"

namespace tandrel::testing {

// The file time of a count of seconds since 1970 (UTC).
inline FileTime UnixSecondsToFileTime(long long unix_seconds) {
  return (unix_seconds + kUnixEpochInFileTimeSeconds) * kFileTimeTicksPerSecond;
}

class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();
  // The folder's path, ending in the separator.
  const std::string& path() const { return path_; }
  // Makes a file (and its missing folders) below the folder, with the
  // last-write time given as seconds since 1970 (0: leave it as made).
  // `relative` may be written with '/'; the path returned has the
  // platform's separator throughout.
  std::string Write(const std::string& relative, const std::string& contents,
                    long long unix_seconds = 0) const;
  std::string MakeFolder(const std::string& relative) const;
  static std::string Read(const std::string& path);
  // Sets a file's last-write time to the tick.
  static void SetWriteTime(const std::string& path, FileTime time);

 private:
  std::string path_;
};

}  // namespace tandrel::testing
