// Writing below an opened folder: temporaries, copies, flushes, renames
// and removals. Reading lives in posix_file_system.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_storage.h"

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

namespace tandrel {
namespace {

using posix::Fd;
using posix::FdOf;
using posix::FillInfo;
using posix::LastError;
using posix::NameZ;

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

// What a driver answers for something it does not do at all (modes on
// FAT, hard links on FAT and some FUSE drivers).
bool NotProvided(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

// The device of the open folder `dir`; 0 when it cannot be told.
std::uint64_t DeviceOf(int dir) {
  struct stat st {};
  return ::fstat(dir, &st) == 0 ? st.st_dev : 0;
}

}  // namespace

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
  if (::fchmod(out, st.st_mode & 01777) != 0 && !NotProvided(errno)) return LastError();
  // The times themselves, to the nanosecond, and last, after every write.
  // Both are given: some drivers (exfat-fuse) ignore a write time that comes
  // without its access time.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out, times) != 0) return LastError();
  return {};
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
  const std::uint64_t device = DeviceOf(to_dir);
  const std::uint8_t refused = RefusedOn(device);
#if defined(__linux__) && defined(SYS_renameat2)
  if ((refused & kRename2Flag) == 0) {
    if (::syscall(SYS_renameat2, from_dir, from_z.c_str(), to_dir, to_z.c_str(),
                  RENAME_NOREPLACE) == 0) {
      return {};
    }
    if (errno != EINVAL && errno != ENOSYS) return LastError();
    Remember(device, kRename2Flag);
  }
#endif
  // Without an atomic no-replace rename: a hard link fails when `to` exists.
  if ((refused & kHardLinks) == 0) {
    if (::linkat(from_dir, from_z.c_str(), to_dir, to_z.c_str(), 0) == 0) {
      ::unlinkat(from_dir, from_z.c_str(), 0);
      return {};
    }
    if (errno == EEXIST || errno == EXDEV) return LastError();
    if (NotProvided(errno)) Remember(device, kHardLinks);
  }
  struct stat st {};
  if (::fstatat(to_dir, to_z.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return std::make_error_code(std::errc::file_exists);
  }
  if (::renameat(from_dir, from_z.c_str(), to_dir, to_z.c_str()) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::LinkBetween(const Folder& from, std::string_view name,
                                             const Folder& to, std::string_view to_name) {
  const int to_dir = FdOf(ValueOf(to));
  const std::uint64_t device = DeviceOf(to_dir);
  const auto unsupported = std::make_error_code(std::errc::operation_not_supported);
  if ((RefusedOn(device) & kHardLinks) != 0) return unsupported;
  const std::string from_z = NameZ(name);
  const std::string to_z = NameZ(to_name);
  if (::linkat(FdOf(ValueOf(from)), from_z.c_str(), to_dir, to_z.c_str(), 0) == 0) return {};
  if (!NotProvided(errno)) return LastError();
  Remember(device, kHardLinks);
  return unsupported;
}

std::uint8_t PosixFileSystem::RefusedOn(std::uint64_t device) {
  constexpr auto kForgetAfter = std::chrono::minutes(1);
  if (device == 0) return 0;
  std::lock_guard lock(refusals_mutex_);
  const auto found = refusals_.find(device);
  if (found == refusals_.end()) return 0;
  if (std::chrono::steady_clock::now() - found->second.when > kForgetAfter) {
    refusals_.erase(found);
    return 0;
  }
  return found->second.refused;
}

void PosixFileSystem::Remember(std::uint64_t device, Refused refused) {
  if (device == 0) return;
  std::lock_guard lock(refusals_mutex_);
  Learnt& learnt = refusals_[device];
  learnt.refused |= refused;
  learnt.when = std::chrono::steady_clock::now();
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

std::error_code PosixFileSystem::OpenToAppend(const Folder& folder, std::string_view name,
                                              OpenFile* file) {
  const std::string z = NameZ(name);
  // Without O_APPEND, which some drivers (fusefat) refuse to write through:
  // AppendText writes at the end it finds.
  Fd fd(::openat(FdOf(ValueOf(folder)), z.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return LastError();
  // The lock CreateTemporary took is held while its run goes on. A file
  // system without locks cannot tell, and the file is taken as let go of.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return std::make_error_code(std::errc::device_or_resource_busy);
  }
  *file = MakeHandle<OpenFileTag>(fd.Release());
  return {};
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
  struct stat link {};
  if (fd.get() < 0 && errno == ELOOP &&
      ::fstatat(dir, z.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
    // A link is nobody's open file: it goes as it is.
    if (::unlinkat(dir, z.c_str(), 0) != 0) return LastError();
    *removed = true;
    return {};
  }
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

}  // namespace tandrel
