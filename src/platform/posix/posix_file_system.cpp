#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace tandrel {
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

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
  // Closes now and reports the result, which matters for written files.
  std::error_code Close() {
    int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return LastError();
    return {};
  }

 private:
  int fd_;
};

// Reads the entries of one folder, with their types as the listing gives
// them. On Linux it asks the kernel directly for large blocks of entries,
// which spares the extra fstat that opendir makes for every folder.
#ifdef __linux__
class DirReader {
 public:
  explicit DirReader(const char* path) : fd_(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  bool ok() const { return fd_.get() >= 0; }
  int fd() const { return fd_.get(); }

  // The next entry; false at the end (errno 0) or on an error (errno set).
  bool Next(const char** name, unsigned char* type) {
    if (next_ == end_) {
      const ssize_t got = ::getdents64(fd_.get(), buffer_, sizeof buffer_);
      if (got <= 0) {
        if (got == 0) errno = 0;
        return false;
      }
      next_ = 0;
      end_ = static_cast<size_t>(got);
    }
    const auto* ent = reinterpret_cast<const struct dirent64*>(buffer_ + next_);
    next_ += ent->d_reclen;
    *name = ent->d_name;
    *type = ent->d_type;
    return true;
  }

 private:
  Fd fd_;
  alignas(struct dirent64) char buffer_[32 * 1024];
  size_t next_ = 0;
  size_t end_ = 0;
};
#else
class DirReader {
 public:
  explicit DirReader(const char* path) : dir_(::opendir(path)) {}
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;
  ~DirReader() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  bool ok() const { return dir_ != nullptr; }
  int fd() const { return ::dirfd(dir_); }

  // The next entry; false at the end (errno 0) or on an error (errno set).
  bool Next(const char** name, unsigned char* type) {
    errno = 0;
    const struct dirent* ent = ::readdir(dir_);
    if (ent == nullptr) return false;
    *name = ent->d_name;
    *type = ent->d_type;
    return true;
  }

 private:
  DIR* dir_;
};
#endif

FileTime ToFileTime(const struct timespec& ts) {
  return (static_cast<FileTime>(ts.tv_sec) + kUnixEpochInFileTimeSeconds) *
             kFileTimeTicksPerSecond +
         ts.tv_nsec / 100;
}

struct timespec ToTimespec(FileTime time) {
  FileTime seconds = time / kFileTimeTicksPerSecond;
  FileTime ticks = time % kFileTimeTicksPerSecond;
  if (ticks < 0) {
    ticks += kFileTimeTicksPerSecond;
    --seconds;
  }
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(seconds - kUnixEpochInFileTimeSeconds);
  ts.tv_nsec = static_cast<long>(ticks * 100);
  return ts;
}

// The last-write time of `name` (through a link) relative to `dir_fd`.
// statx is asked for the time alone, which spares the file system from
// filling in the rest.
std::optional<FileTime> WriteTimeAt(int dir_fd, const char* name) {
#ifdef STATX_MTIME
  struct statx stx {};
  if (::statx(dir_fd, name, AT_STATX_DONT_SYNC, STATX_MTIME, &stx) == 0) {
    struct timespec ts {};
    ts.tv_sec = stx.stx_mtime.tv_sec;
    ts.tv_nsec = stx.stx_mtime.tv_nsec;
    return ToFileTime(ts);
  }
  if (errno != ENOSYS) return std::nullopt;
#endif
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) return std::nullopt;
  return ToFileTime(st.st_mtim);
}

EntryKind KindOfMode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISREG(mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

// A link counts as a folder link when its target is a folder, and as a file
// when the target is a file or cannot be reached (a dangling link).
EntryKind KindOfLink(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolderLink;
  return KindOfMode(st.st_mode);
}

EntryKind KindOfUnknown(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISLNK(st.st_mode)) return KindOfLink(dir_fd, name);
  return KindOfMode(st.st_mode);
}

std::error_code CopyLoop(int in, int out) {
#ifdef __linux__
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return {};
    if (errno == EINTR) continue;
    // Not supported between these files: go on with plain reads and writes
    // from the file offsets copy_file_range reached.
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
        errno == EBADF) {
      break;
    }
    return LastError();
  }
#endif
  static constexpr size_t kBufferSize = 1 << 17;
  std::vector<char> buffer(kBufferSize);
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got == 0) return {};
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      done += put;
    }
  }
}

}  // namespace

std::error_code PosixFileSystem::ListFolder(const std::string& folder,
                                            std::vector<DirEntry>* entries) {
  // The entries of the last listing are overwritten in place, so that their
  // names' storage is reused instead of allocated again for every entry.
  size_t used = 0;
  DirReader reader(folder.empty() ? "." : folder.c_str());
  if (!reader.ok()) {
    entries->clear();
    return LastError();
  }
  const char* name = nullptr;
  unsigned char type = DT_UNKNOWN;
  while (reader.Next(&name, &type)) {
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (used == entries->size()) entries->emplace_back();
    DirEntry& entry = (*entries)[used++];
    entry.name.assign(name);
    entry.write_time.reset();
    entry.hidden = name[0] == '.';
    switch (type) {
      case DT_REG:
        entry.kind = EntryKind::kFile;
        break;
      case DT_DIR:
        entry.kind = EntryKind::kFolder;
        break;
      case DT_LNK:
        entry.kind = KindOfLink(reader.fd(), name);
        break;
      case DT_UNKNOWN:
        entry.kind = KindOfUnknown(reader.fd(), name);
        break;
      default:
        entry.kind = EntryKind::kOther;
        break;
    }
  }
  entries->resize(used);
  if (errno != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Stat(const std::string& path, FollowLinks follow, FileInfo* info) {
  struct stat st {};
  const int rc =
      follow == FollowLinks::kYes ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return LastError();
  info->is_link = S_ISLNK(st.st_mode);
  info->kind = info->is_link ? EntryKind::kFile : KindOfMode(st.st_mode);
  info->write_time = ToFileTime(st.st_mtim);
  info->permissions = st.st_mode & 07777;
  return {};
}

void PosixFileSystem::WriteTimesIn(const std::string& folder,
                                   const std::vector<std::string_view>& names,
                                   std::vector<std::optional<FileTime>>* times) {
  times->assign(names.size(), std::nullopt);
  // One open of the folder, then each name resolved relative to it: much
  // cheaper than walking the whole path again for every file.
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  // Without the folder open, each name goes by its whole path after all.
  const int base = dir.get() >= 0 ? dir.get() : AT_FDCWD;
  const std::string_view prefix = dir.get() >= 0 ? std::string_view() : std::string_view(folder);
  std::string name;
  for (size_t i = 0; i < names.size(); ++i) {
    name.assign(prefix);
    name.append(names[i]);
    (*times)[i] = WriteTimeAt(base, name.c_str());
  }
}

std::error_code PosixFileSystem::CopyContents(const std::string& from, const std::string& to) {
  // O_NONBLOCK: opening a pipe that has taken the file's place must not wait
  // for a writer (it is refused below); reads of a plain file ignore it.
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) return LastError();
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  // Owner write access while we fill it; the source's bits are set at the end.
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) return LastError();
  if (std::error_code ec = CopyLoop(in.get(), out.get())) return ec;
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return LastError();
  return out.Close();
}

std::error_code PosixFileSystem::SetWriteTime(const std::string& path, FileTime time) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = ToTimespec(time);
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Rename(const std::string& from, const std::string& to,
                                        bool replace) {
  if (replace) {
    if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
    return {};
  }
#if defined(__linux__) && defined(SYS_renameat2)
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) ==
      0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) return LastError();
#endif
  // Without an atomic no-replace rename: a hard link fails when `to` exists.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return {};
  }
  if (errno == EEXIST) return LastError();
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return std::make_error_code(std::errc::file_exists);
  if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return LastError();
  return {};
}

std::optional<FileTime> FileTimeToLocalFileTime(FileTime utc) {
  FileTime seconds = utc / kFileTimeTicksPerSecond;
  if (utc % kFileTimeTicksPerSecond < 0) --seconds;
  const time_t t = static_cast<time_t>(seconds - kUnixEpochInFileTimeSeconds);
  struct tm local {};
  if (::localtime_r(&t, &local) == nullptr) return std::nullopt;
  return utc + static_cast<FileTime>(local.tm_gmtoff) * kFileTimeTicksPerSecond;
}

}  // namespace tandrel
