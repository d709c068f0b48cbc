// What the two halves of the POSIX file system share: descriptors, their
// errors, and what a stat says as a FileInfo. Only for posix_*.cpp.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/file_system.h"

namespace tandrel::posix {

inline std::error_code LastError() { return {errno, std::generic_category()}; }

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Gives the descriptor up to the caller.
  int Release() { return std::exchange(fd_, -1); }
  // Closes now and reports the result, which matters for written files.
  std::error_code Close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return LastError();
    return {};
  }

 private:
  int fd_;
};

inline FileTime ToFileTime(const struct timespec& ts) {
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

inline EntryKind KindOfMode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISREG(mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

inline int FdOf(std::intptr_t value) { return static_cast<int>(value); }

// A name as the C string that the system calls take.
inline std::string NameZ(std::string_view name) { return std::string(name); }

inline void FillInfo(const struct stat& st, FileInfo* info) {
  info->is_link = S_ISLNK(st.st_mode);
  info->kind = info->is_link ? EntryKind::kFile : KindOfMode(st.st_mode);
  info->write_time = ToFileTime(st.st_mtim);
  info->permissions = st.st_mode & 07777;
  info->stamp.device = static_cast<std::uint64_t>(st.st_dev);
  info->stamp.file_id = static_cast<std::uint64_t>(st.st_ino);
  info->stamp.size = static_cast<std::int64_t>(st.st_size);
  info->stamp.write_seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  info->stamp.write_nanoseconds = static_cast<std::uint32_t>(st.st_mtim.tv_nsec);
  info->owned_by_caller = st.st_uid == ::geteuid();
  info->access_seconds = static_cast<std::int64_t>(st.st_atim.tv_sec);
  info->access_nanoseconds = static_cast<std::uint32_t>(st.st_atim.tv_nsec);
}

}  // namespace tandrel::posix
