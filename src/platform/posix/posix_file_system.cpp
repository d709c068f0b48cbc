#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/posix/posix_storage.h"

#ifdef __linux__
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
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

FileTime ToFileTime(const struct timespec& ts) { return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec); }

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

EntryKind KindOfMode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISREG(mode)) return EntryKind::kFile;
  return EntryKind::kOther;
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

int FdOf(std::intptr_t value) { return static_cast<int>(value); }

// A name as the C string that the system calls take.
std::string NameZ(std::string_view name) { return std::string(name); }

void FillInfo(const struct stat& st, FileInfo* info) {
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

// Writes all `size` bytes of `data` to `out` at `offset`.
std::error_code WriteAllAt(int out, const char* data, size_t size, off_t offset) {
  for (size_t done = 0; done < size;) {
    const ssize_t put = ::pwrite(out, data + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    done += static_cast<size_t>(put);
  }
  return {};
}

// Writes `size` bytes from `in` at `offset` to `out` at the same offset,
// in the kernel where it can, otherwise through a buffer.
std::error_code CopyRange(int in, int out, off_t offset, off_t size, const CopyWatch* watch) {
  off_t in_at = offset;
  off_t out_at = offset;
  const off_t end = offset + size;
  // Copied a block at a time when watched, so that progress is heard of and
  // a stop is obeyed part-way through a large file.
  const off_t step = watch != nullptr ? off_t{1} << 22 : end - offset;
  const auto wrote = [&](ssize_t n) { return watch == nullptr || watch->Wrote(n); };
#ifdef __linux__
  while (in_at < end) {
    const ssize_t n = ::copy_file_range(in, &in_at, out, &out_at,
                                        static_cast<size_t>(std::min(end - in_at, step)), 0);
    if (n > 0) {
      if (!wrote(n)) return std::make_error_code(std::errc::operation_canceled);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EBADF) {
      return LastError();
    }
    // Not supported between these files, or it stopped early (some file
    // systems give 0 instead of an error): the rest goes through a buffer.
    break;
  }
#endif
  static constexpr size_t kBufferSize = 1 << 17;
  std::vector<char> buffer;
  while (in_at < end) {
    if (buffer.empty()) buffer.resize(kBufferSize);
    const size_t want = static_cast<size_t>(std::min<off_t>(end - in_at, kBufferSize));
    const ssize_t got = ::pread(in, buffer.data(), want, in_at);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (got == 0) break;  // the file shrank meanwhile
    if (std::error_code ec = WriteAllAt(out, buffer.data(), static_cast<size_t>(got), out_at)) {
      return ec;
    }
    out_at += got;
    in_at += got;
    if (!wrote(got)) return std::make_error_code(std::errc::operation_canceled);
  }
  return {};
}

// Writes zeros to `out` from `from` up to `to`.
std::error_code WriteZeros(int out, off_t from, off_t to) {
  static constexpr size_t kBufferSize = 1 << 17;
  const std::vector<char> zeros(static_cast<size_t>(std::min<off_t>(to - from, kBufferSize)));
  for (; from < to; from += static_cast<off_t>(zeros.size())) {
    const size_t want = static_cast<size_t>(std::min<off_t>(to - from, kBufferSize));
    if (std::error_code ec = WriteAllAt(out, zeros.data(), want, from)) return ec;
  }
  return {};
}

// Copies the bytes of `in` (of `size` bytes) to the empty `out`: a clone
// where the file system shares blocks, otherwise the data ranges alone, so
// that holes stay holes.
// Holes count as copied for `watch`.
std::error_code CopyBytes(int in, int out, off_t size, const CopyWatch* watch) {
#ifdef __linux__
  if (::ioctl(out, FICLONE, in) == 0) {
    if (watch != nullptr) watch->Wrote(size);
    return {};
  }
#endif
  off_t data_bytes = 0;
  off_t at = 0;
  while (at < size) {
    off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole up to the end
      if (errno != EINVAL && errno != EOPNOTSUPP) return LastError();
      data = at;  // no hole lookup here: all of it is data
    }
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) hole = size;
    hole = std::min(hole, size);
    if (data >= hole) break;
    if (std::error_code ec = CopyRange(in, out, data, hole - data, watch)) return ec;
    data_bytes += hole - data;
    at = hole;
  }
  if (watch != nullptr) watch->Wrote(size - data_bytes);
  // A hole at the end is made by the length alone (which costs a round trip
  // on a network share, so only then). A driver that will not lengthen a
  // file that way (fusefat, smbnetfs) gets the zeros written.
  if (at < size && ::ftruncate(out, size) != 0) return WriteZeros(out, at, size);
  return {};
}

// Whether a failure to set permission bits means that the file system has
// none to set (FAT, exFAT, SMB, SFTP, NTFS without a user mapping).
bool HasNoModes(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

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

std::error_code PosixFileSystem::CreateTemporary(const Folder& folder, std::string_view name,
                                                 OpenFile* file) {
  const std::string z = NameZ(name);
  // Owner access alone while it is filled; the source's bits come at the end.
  const int fd = ::openat(FdOf(ValueOf(folder)), z.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return LastError();
  *file = MakeHandle<OpenFileTag>(fd);
  // The lock tells a later run that this file is not a leftover. A file
  // system without locks still gets its copy: such a run then leaves the
  // file alone, since it cannot lock it either.
  ::flock(fd, LOCK_EX | LOCK_NB);
  return {};
}

std::error_code PosixFileSystem::CopyInto(const Folder& from, std::string_view name, OpenFile& to,
                                          FileInfo* copied, FollowLinks follow,
                                          const CopyWatch* watch) {
  const std::string z = NameZ(name);
  // O_NONBLOCK: opening a pipe that has taken the file's place must not wait
  // for a writer (it is refused below); reads of a plain file ignore it.
  const int flags =
      O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow == FollowLinks::kYes ? 0 : O_NOFOLLOW);
  Fd in(::openat(FdOf(ValueOf(from)), z.c_str(), flags));
  if (in.get() < 0 && errno == ELOOP && follow == FollowLinks::kNo) {
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
  }
  if (in.get() < 0) return LastError();
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  FillInfo(st, copied);
  const int out = FdOf(ValueOf(to));
  if (std::error_code ec = CopyBytes(in.get(), out, st.st_size, watch)) return ec;
  // One whole version or nothing: a write to the source while it was read
  // shows in its size or times, looked at through the handle that was read
  // (a file put in its place meanwhile leaves the handle on a whole one).
  struct stat after {};
  if (::fstat(in.get(), &after) != 0) return LastError();
  if (after.st_size != st.st_size || after.st_mtim.tv_sec != st.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != st.st_mtim.tv_nsec || after.st_ctim.tv_sec != st.st_ctim.tv_sec ||
      after.st_ctim.tv_nsec != st.st_ctim.tv_nsec) {
    return std::make_error_code(std::errc::resource_unavailable_try_again);
  }
  // Set-user-ID and set-group-ID never travel: a copy made by root would
  // otherwise turn anybody's file into a program that runs as root.
  // Where there are no bits to set, the copy goes without them.
  if (::fchmod(out, st.st_mode & 01777) != 0 && !HasNoModes(errno)) return LastError();
  // The times themselves, to the nanosecond, and last, after every write.
  // Both are given: some drivers (exfat-fuse) ignore a write time that comes
  // without its access time.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out, times) != 0) return LastError();
  return {};
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

std::error_code PosixFileSystem::FlushFile(OpenFile& file) {
  if (::fdatasync(FdOf(ValueOf(file))) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::FlushFiles(std::span<OpenFile* const> files, size_t* failed) {
#ifdef __linux__
  if (files.size() > 1) {
    std::vector<dev_t> done;
    bool all_flushed = true;
    // One syncfs for each file system the files are on, where it reaches
    // the storage.
    for (OpenFile* file : files) {
      const int fd = FdOf(ValueOf(*file));
      struct stat st {};
      if (::fstat(fd, &st) != 0) {
        all_flushed = false;
        break;
      }
      if (std::find(done.begin(), done.end(), st.st_dev) != done.end()) continue;
      if (!SyncfsReaches(fd) || ::syncfs(fd) != 0) {
        all_flushed = false;
        break;
      }
      done.push_back(st.st_dev);
    }
    if (all_flushed) return {};
  }
#endif
  return FileSystem::FlushFiles(files, failed);
}

std::error_code PosixFileSystem::CloseTemporary(OpenFile& temp, bool keep_held) {
  if (!temp) return {};
  if (keep_held) {
    // Closing a duplicate makes a network or FUSE file system report what
    // it reports at close, while the file stays open and locked.
    const int copy = ::fcntl(FdOf(ValueOf(temp)), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return LastError();
    if (::close(copy) != 0 && errno != EINTR) return LastError();
    return {};
  }
  if (::close(FdOf(Release(temp))) != 0 && errno != EINTR) return LastError();
  return {};
}

std::error_code PosixFileSystem::SetTimesAt(const Folder& folder, std::string_view name,
                                            const FileInfo& times) {
  const std::string z = NameZ(name);
  const struct timespec both[2] = {
      {static_cast<time_t>(times.access_seconds), static_cast<long>(times.access_nanoseconds)},
      {static_cast<time_t>(times.stamp.write_seconds),
       static_cast<long>(times.stamp.write_nanoseconds)}};
  if (::utimensat(FdOf(ValueOf(folder)), z.c_str(), both, AT_SYMLINK_NOFOLLOW) != 0) {
    return LastError();
  }
  return {};
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

std::error_code PosixFileSystem::RenameTemporary(const Folder& folder, std::string_view temp_name,
                                                 OpenFile&, std::string_view to, bool replace) {
  return MoveBetween(folder, temp_name, folder, to, replace);
}

std::error_code PosixFileSystem::MoveBetween(const Folder& from, std::string_view name,
                                             const Folder& to, std::string_view to_name,
                                             bool replace) {
  const int from_dir = FdOf(ValueOf(from));
  const int to_dir = FdOf(ValueOf(to));
  const std::string from_z = NameZ(name);
  const std::string to_z = NameZ(to_name);
  if (replace) {
    if (::renameat(from_dir, from_z.c_str(), to_dir, to_z.c_str()) != 0) return LastError();
    return {};
  }
#if defined(__linux__) && defined(SYS_renameat2)
  if (::syscall(SYS_renameat2, from_dir, from_z.c_str(), to_dir, to_z.c_str(), RENAME_NOREPLACE) ==
      0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) return LastError();
#endif
  // Without an atomic no-replace rename: a hard link fails when `to` exists.
  if (::linkat(from_dir, from_z.c_str(), to_dir, to_z.c_str(), 0) == 0) {
    ::unlinkat(from_dir, from_z.c_str(), 0);
    return {};
  }
  if (errno == EEXIST || errno == EXDEV) return LastError();
  struct stat st {};
  if (::fstatat(to_dir, to_z.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return std::make_error_code(std::errc::file_exists);
  }
  if (::renameat(from_dir, from_z.c_str(), to_dir, to_z.c_str()) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::MakeFolder(const Folder& parent, std::string_view name, bool,
                                            Folder* folder) {
  const std::string z = NameZ(name);
  if (::mkdirat(FdOf(ValueOf(parent)), z.c_str(), 0700) != 0 && errno != EEXIST) {
    return LastError();
  }
  return OpenFolder(parent, name, folder);
}

std::error_code PosixFileSystem::AppendText(OpenFile& file, std::string_view text) {
  const int fd = FdOf(ValueOf(file));
  struct stat st {};
  if (::fstat(fd, &st) != 0) return LastError();
  return WriteAllAt(fd, text.data(), text.size(), st.st_size);
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

std::error_code PosixFileSystem::RemoveEmptyFolder(const Folder& folder, std::string_view name) {
  const std::string z = NameZ(name);
  if (::unlinkat(FdOf(ValueOf(folder)), z.c_str(), AT_REMOVEDIR) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::RemoveTemporary(const Folder& folder, std::string_view temp_name,
                                                 OpenFile&) {
  const std::string z = NameZ(temp_name);
  if (::unlinkat(FdOf(ValueOf(folder)), z.c_str(), 0) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::FlushFolder(const Folder& folder) {
  if (::fsync(FdOf(ValueOf(folder))) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::RemoveIfNotHeld(const Folder& folder, std::string_view name,
                                                 bool* removed) {
  *removed = false;
  const int dir = FdOf(ValueOf(folder));
  const std::string z = NameZ(name);
  Fd fd(::openat(dir, z.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return LastError();
  struct stat held {};
  if (::fstat(fd.get(), &held) != 0) return LastError();
  if (!S_ISREG(held.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  // Only a lock we get tells that nobody holds it; any other answer leaves
  // the file where it is.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? std::error_code() : LastError();
  // The name must still be the file we locked. A server that will not
  // remove an open file (SMB) gets it let go of, and the name looked at again.
  for (bool open = true;; open = false) {
    struct stat now {};
    if (::fstatat(dir, z.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (now.st_dev != held.st_dev || now.st_ino != held.st_ino) return {};
    if (::unlinkat(dir, z.c_str(), 0) == 0) break;
    if (errno != EBUSY || !open) return LastError();
    (void)fd.Close();
  }
  *removed = true;
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
