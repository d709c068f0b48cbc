#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_storage.h"

#ifdef __linux__
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

namespace tandrel {
namespace {

using posix::Fd;
using posix::FdOf;
using posix::FillInfo;
using posix::KindOfMode;
using posix::LastError;
using posix::NameZ;
using posix::ToFileTime;

// Reads the entries of one folder, with their types as the listing gives
// them. On Linux it asks the kernel directly for large blocks of entries,
// which spares the extra fstat that opendir makes for every folder.
#ifdef __linux__
class DirReader {
 public:
  // Reads the folder open as `fd` from its start; `fd` stays the caller's.
  explicit DirReader(int fd) : fd_(fd) { ok_ = ::lseek(fd, 0, SEEK_SET) == 0; }
  bool ok() const { return ok_; }
  int fd() const { return fd_; }

  // The next entry; false at the end (errno 0) or on an error (errno set).
  bool Next(const char** name, unsigned char* type) {
    if (next_ == end_) {
      const ssize_t got = ::getdents64(fd_, buffer_, sizeof buffer_);
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
  int fd_;
  bool ok_ = false;
  alignas(struct dirent64) char buffer_[32 * 1024];
  size_t next_ = 0;
  size_t end_ = 0;
};
#else
class DirReader {
 public:
  explicit DirReader(int fd) : dir_(::fdopendir(::dup(fd))) {
    if (dir_ != nullptr) ::rewinddir(dir_);
  }
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

// The last-write time of `name` (through a link) relative to `dir_fd`.
// statx is asked for the time alone, which spares the file system from
// filling in the rest.
std::optional<FileTime> WriteTimeAt(int dir_fd, const char* name) {
#ifdef STATX_MTIME
  struct statx stx {};
  if (::statx(dir_fd, name, AT_STATX_DONT_SYNC, STATX_MTIME, &stx) == 0) {
    return FileTimeFromUnix(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  }
  if (errno != ENOSYS) return std::nullopt;
#endif
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) return std::nullopt;
  return ToFileTime(st.st_mtim);
}

// A link counts as a folder link when its target is a folder, as a file when
// the target is a file, and as neither when the target cannot be reached (a
// dangling link, whose copy could only fail) or is a pipe or device.
EntryKind KindOfLink(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) return EntryKind::kOther;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolderLink;
  return KindOfMode(st.st_mode);
}

EntryKind KindOfUnknown(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISLNK(st.st_mode)) return KindOfLink(dir_fd, name);
  return KindOfMode(st.st_mode);
}

// ENOTDIR from an O_NOFOLLOW | O_DIRECTORY open may mean a link stood there;
// that is told apart, since it is what a swapped-in link looks like.
std::error_code FolderOpenError(int dir_fd, const char* name) {
  const int error = errno;
  struct stat st {};
  if ((error == ENOTDIR || error == ELOOP) &&
      ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  }
  return {error, std::generic_category()};
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// Whether a failure to set permission bits means that the file system has
// none to set (FAT, exFAT, SMB, SFTP, NTFS without a user mapping).

}  // namespace

void PosixFileSystem::Close(std::intptr_t value) { ::close(FdOf(value)); }

std::error_code PosixFileSystem::OpenRoot(const std::string& path, Folder* folder) {
  const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LastError();
  *folder = MakeHandle<FolderTag>(fd);
  return {};
}

std::error_code PosixFileSystem::OpenFolder(const Folder& parent, std::string_view name,
                                            Folder* folder) {
  const std::string z = NameZ(name);
  const int dir = FdOf(ValueOf(parent));
  const int fd = ::openat(dir, z.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return FolderOpenError(dir, z.c_str());
  *folder = MakeHandle<FolderTag>(fd);
  return {};
}

std::error_code PosixFileSystem::OpenBeneath(const Folder& root, std::string_view relative,
                                             Folder* folder) {
#if defined(__linux__) && defined(SYS_openat2)
  while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
  // The names are checked here too: openat2 would take "." and "..".
  for (std::string_view rest = relative; !rest.empty();) {
    const size_t cut = rest.find('/');
    if (!IsPlainName(rest.substr(0, cut))) return std::make_error_code(std::errc::invalid_argument);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  const std::string z = relative.empty() ? std::string(".") : NameZ(relative);
  struct open_how how {};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const long fd = ::syscall(SYS_openat2, FdOf(ValueOf(root)), z.c_str(), &how, sizeof how);
    if (fd >= 0) {
      *folder = MakeHandle<FolderTag>(fd);
      return {};
    }
    // EAGAIN: a rename elsewhere on the file system raced the lookup.
    if (errno == EAGAIN || errno == EINTR) continue;
    // Not there (old kernel, or refused by a seccomp filter), or the path is
    // longer than one call takes: one name at a time after all.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == ENAMETOOLONG) break;
    // EXDEV means the walk tried to leave the root, which only a link or a
    // mount point can make it do.
    if (errno == ELOOP || errno == EXDEV) {
      return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    }
    return LastError();
  }
#endif
  return FileSystem::OpenBeneath(root, relative, folder);
}

std::error_code PosixFileSystem::List(const Folder& folder, std::vector<DirEntry>* entries) {
  // The entries of the last listing are overwritten in place, so that their
  // names' storage is reused instead of allocated again for every entry.
  size_t used = 0;
  DirReader reader(FdOf(ValueOf(folder)));
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
  FillInfo(st, info);
  return {};
}

std::error_code PosixFileSystem::StatAt(const Folder& folder, std::string_view name,
                                        FollowLinks follow, FileInfo* info) {
  const std::string z = NameZ(name);
  struct stat st {};
  const int flags = follow == FollowLinks::kYes ? 0 : AT_SYMLINK_NOFOLLOW;
  if (::fstatat(FdOf(ValueOf(folder)), z.c_str(), &st, flags) != 0) return LastError();
  FillInfo(st, info);
  return {};
}

void PosixFileSystem::WriteTimesIn(const Folder& folder, const std::vector<std::string_view>& names,
                                   std::vector<std::optional<FileTime>>* times) {
  times->assign(names.size(), std::nullopt);
  const int dir = FdOf(ValueOf(folder));
  std::string name;
  for (size_t i = 0; i < names.size(); ++i) {
    name.assign(names[i]);
    (*times)[i] = WriteTimeAt(dir, name.c_str());
  }
}

std::error_code PosixFileSystem::ReadLink(const Folder& folder, std::string_view name,
                                          std::string* target) {
  const std::string z = NameZ(name);
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t got =
        ::readlinkat(FdOf(ValueOf(folder)), z.c_str(), buffer.data(), buffer.size());
    if (got < 0) return LastError();
    if (static_cast<size_t>(got) < buffer.size()) {
      target->assign(buffer.data(), static_cast<size_t>(got));
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::error_code PosixFileSystem::Describe(const Folder& folder, Storage* storage) {
  const int fd = FdOf(ValueOf(folder));
  struct stat st {};
  if (::fstat(fd, &st) != 0) return LastError();
  const auto device = static_cast<std::uint64_t>(st.st_dev);
  {
    std::lock_guard lock(described_mutex_);
    if (auto found = described_.find(device); found != described_.end()) {
      *storage = found->second;
      return {};
    }
  }
  if (std::error_code ec = DescribeStorage(fd, storage)) return ec;
  std::lock_guard lock(described_mutex_);
  described_[device] = *storage;
  return {};
}

std::error_code PosixFileSystem::ReadText(const Folder& folder, std::string_view name,
                                          std::string* text) {
  const std::string z = NameZ(name);
  Fd fd(::openat(FdOf(ValueOf(folder)), z.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return LastError();
  text->clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (got == 0) return {};
    text->append(buffer, static_cast<size_t>(got));
  }
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
