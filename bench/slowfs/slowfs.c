// slowfs: a FUSE 3 file system that mirrors a backing folder and answers
// every request only after a fixed delay, so that the benchmarks can see
// how Tandrel behaves on a network share (SMB/NFS), where each request is a
// round trip, without needing a server.
//
//   slowfs [-o delay_us=N | --delay-us N] [FUSE options] BACKING MOUNTPOINT
//
// The delay is 1000 us (1 ms, a LAN round trip) unless given. Requests are
// served by libfuse's multi-threaded loop, so requests that the kernel has
// in flight together are delayed together, as on a share that answers many
// requests at once; a program that keeps several requests in flight gains
// from that, one that waits for each answer before asking again does not.
//
// The kernel's caches are left at the high-level libfuse defaults: names
// and attributes are trusted for 1 s (entry_timeout and attr_timeout), a
// missing name is not remembered (negative_timeout 0), and folder listings
// and file contents are not kept between opens. That is close to a Linux
// SMB client (cifs caches attributes for actimeo, 1 s by default) and no
// kinder than an NFS client (acregmin 3 s, acdirmin 30 s): a program cannot
// look like it is fast here only because the kernel answered for the share.
// Listings come with attributes (READDIRPLUS), as SMB's directory queries
// and NFS's READDIRPLUS do, so stat after a listing is served from that
// cache while it is fresh.
//
// The high-level API works on paths; all of them are resolved with *at()
// calls against a descriptor of the backing folder, which stays valid after
// fuse_main() changes to "/" when it goes to the background.
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static int backing_fd = -1;

struct options {
  unsigned delay_us;
  int no_plus;
  char *backing;
  int show_help;
};
static struct options options = {.delay_us = 1000};

// Set when a request has been delayed by one operation and the high-level
// library is about to call further operations for the same request (create
// and mkdir are followed by getattr; a setattr is split into chmod, chown,
// truncate and utimens, then getattr). A share answers such a request in
// one round trip (SMB's CREATE and SET_INFO return the attributes), so only
// the first operation of the request pays the delay.
static __thread int request_paid;

static void Delay(void) {
  if (options.delay_us == 0) return;
  struct timespec ts = {.tv_sec = options.delay_us / 1000000,
                        .tv_nsec = (long)(options.delay_us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// For a request that is answered by this one operation.
static void DelayRequest(void) {
  request_paid = 0;
  Delay();
}

// For the first of several operations that make up one request. EndPart()
// forgets the payment when the operation failed, because the library then
// answers the request without calling the rest.
static void DelayFirst(void) {
  if (!request_paid) Delay();
  request_paid = 1;
}
static int EndPart(int res) {
  if (res != 0) request_paid = 0;
  return res;
}

// "/a/b" -> "a/b", "/" -> "." for the *at() calls.
static const char *Rel(const char *path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

static int Err(int res) { return res == -1 ? -errno : res; }

static void *SlowInit(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  (void)conn;
  // Keep the backing folder's inode numbers: Tandrel, like find and rsync,
  // may use them to tell files apart. The timeouts stay as they are (see
  // the top of this file).
  cfg->use_ino = 1;
  cfg->readdir_ino = 1;
  return NULL;
}

static int SlowGetattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
  // Called on its own for LOOKUP and GETATTR, and as the last part of
  // create, mkdir, symlink, link and setattr.
  if (!request_paid) Delay();
  request_paid = 0;
  int res = fi ? fstat((int)fi->fh, st) : fstatat(backing_fd, Rel(path), st, AT_SYMLINK_NOFOLLOW);
  return Err(res);
}

static int SlowAccess(const char *path, int mask) {
  DelayRequest();
  return Err(faccessat(backing_fd, Rel(path), mask, AT_SYMLINK_NOFOLLOW));
}

static int SlowReadlink(const char *path, char *buf, size_t size) {
  DelayRequest();
  ssize_t n = readlinkat(backing_fd, Rel(path), buf, size - 1);
  if (n == -1) return -errno;
  buf[n] = '\0';
  return 0;
}

static int SlowMknod(const char *path, mode_t mode, dev_t rdev) {
  DelayFirst();
  return EndPart(Err(mknodat(backing_fd, Rel(path), mode, rdev)));
}

static int SlowMkdir(const char *path, mode_t mode) {
  DelayFirst();
  return EndPart(Err(mkdirat(backing_fd, Rel(path), mode)));
}

static int SlowUnlink(const char *path) {
  DelayRequest();
  return Err(unlinkat(backing_fd, Rel(path), 0));
}

static int SlowRmdir(const char *path) {
  DelayRequest();
  return Err(unlinkat(backing_fd, Rel(path), AT_REMOVEDIR));
}

static int SlowSymlink(const char *target, const char *path) {
  DelayFirst();
  return EndPart(Err(symlinkat(target, backing_fd, Rel(path))));
}

static int SlowRename(const char *from, const char *to, unsigned int flags) {
  DelayRequest();
  // RENAME_NOREPLACE and RENAME_EXCHANGE go through as they are: a share
  // that can do them does them in one request.
  return Err(renameat2(backing_fd, Rel(from), backing_fd, Rel(to), flags));
}

static int SlowLink(const char *from, const char *to) {
  DelayFirst();
  return EndPart(Err(linkat(backing_fd, Rel(from), backing_fd, Rel(to), 0)));
}

static int SlowChmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  DelayFirst();
  return EndPart(Err(fi ? fchmod((int)fi->fh, mode) : fchmodat(backing_fd, Rel(path), mode, 0)));
}

static int SlowChown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
  DelayFirst();
  return EndPart(Err(fi ? fchown((int)fi->fh, uid, gid)
                        : fchownat(backing_fd, Rel(path), uid, gid, AT_SYMLINK_NOFOLLOW)));
}

static int SlowTruncate(const char *path, off_t size, struct fuse_file_info *fi) {
  DelayFirst();
  if (fi) return EndPart(Err(ftruncate((int)fi->fh, size)));
  int fd = openat(backing_fd, Rel(path), O_WRONLY | O_NOFOLLOW);
  if (fd == -1) return EndPart(-errno);
  int res = Err(ftruncate(fd, size));
  close(fd);
  return EndPart(res);
}

static int SlowUtimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
  DelayFirst();
  return EndPart(Err(fi ? futimens((int)fi->fh, tv)
                        : utimensat(backing_fd, Rel(path), tv, AT_SYMLINK_NOFOLLOW)));
}

static int SlowCreate(const char *path, mode_t mode, struct fuse_file_info *fi) {
  DelayFirst();
  int fd = openat(backing_fd, Rel(path), fi->flags | O_CREAT, mode);
  if (fd == -1) return EndPart(-errno);
  fi->fh = (uint64_t)fd;
  return 0;
}

static int SlowOpen(const char *path, struct fuse_file_info *fi) {
  DelayRequest();
  int fd = openat(backing_fd, Rel(path), fi->flags);
  if (fd == -1) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int SlowRead(const char *path, char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  return Err((int)pread((int)fi->fh, buf, size, off));
}

static int SlowWrite(const char *path, const char *buf, size_t size, off_t off,
                     struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  return Err((int)pwrite((int)fi->fh, buf, size, off));
}

static int SlowStatfs(const char *path, struct statvfs *st) {
  (void)path;
  DelayRequest();
  return Err(fstatvfs(backing_fd, st));
}

static int SlowFlush(const char *path, struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  // Closing a duplicate reports the errors that close() of the caller's
  // descriptor would see, without closing the one later requests use.
  return Err(close(dup((int)fi->fh)));
}

static int SlowRelease(const char *path, struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  close((int)fi->fh);
  return 0;
}

static int SlowFsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  return Err(datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int SlowFallocate(const char *path, int mode, off_t off, off_t len,
                         struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  return Err(fallocate((int)fi->fh, mode, off, len));
}

struct slow_dir {
  DIR *dir;
  struct dirent *entry;  // Read but not yet handed out.
  off_t offset;
};

static int SlowOpendir(const char *path, struct fuse_file_info *fi) {
  DelayRequest();
  int fd = openat(backing_fd, Rel(path), O_RDONLY | O_DIRECTORY);
  if (fd == -1) return -errno;
  struct slow_dir *d = calloc(1, sizeof(*d));
  if (d == NULL) {
    close(fd);
    return -ENOMEM;
  }
  d->dir = fdopendir(fd);
  if (d->dir == NULL) {
    int e = errno;
    close(fd);
    free(d);
    return -e;
  }
  fi->fh = (uint64_t)(uintptr_t)d;
  return 0;
}

// Hands out entries with their offsets, so that the library asks for each
// kernel READDIR(PLUS) request again instead of listing the whole folder in
// one go: every page of a listing is one more round trip, as on a share.
static int SlowReaddir(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                       struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
  (void)path;
  DelayRequest();
  struct slow_dir *d = (struct slow_dir *)(uintptr_t)fi->fh;
  if (offset != d->offset) {
    seekdir(d->dir, offset);
    d->entry = NULL;
    d->offset = offset;
  }
  const int plus = (flags & FUSE_READDIR_PLUS) && !options.no_plus;
  for (;;) {
    if (d->entry == NULL) {
      errno = 0;
      d->entry = readdir(d->dir);
      if (d->entry == NULL) {
        if (errno != 0) return -errno;
        break;
      }
    }
    struct stat st;
    enum fuse_fill_dir_flags fill = 0;
    if (plus && fstatat(dirfd(d->dir), d->entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      fill = FUSE_FILL_DIR_PLUS;
    } else {
      memset(&st, 0, sizeof(st));
      st.st_ino = d->entry->d_ino;
      st.st_mode = (mode_t)(d->entry->d_type << 12);
    }
    const off_t next = telldir(d->dir);
    if (filler(buf, d->entry->d_name, &st, next, fill)) break;  // The reply is full.
    d->entry = NULL;
    d->offset = next;
  }
  return 0;
}

static int SlowReleasedir(const char *path, struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  struct slow_dir *d = (struct slow_dir *)(uintptr_t)fi->fh;
  closedir(d->dir);
  free(d);
  return 0;
}

static int SlowFsyncdir(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  DelayRequest();
  struct slow_dir *d = (struct slow_dir *)(uintptr_t)fi->fh;
  const int fd = dirfd(d->dir);
  return Err(datasync ? fdatasync(fd) : fsync(fd));
}

// Not implemented, on purpose: copy_file_range (the kernel then refuses it
// and programs fall back to read and write, as they must on most shares),
// flock (the kernel keeps such locks itself), and extended attributes.
static const struct fuse_operations kOperations = {
    .init = SlowInit,
    .getattr = SlowGetattr,
    .access = SlowAccess,
    .readlink = SlowReadlink,
    .mknod = SlowMknod,
    .mkdir = SlowMkdir,
    .unlink = SlowUnlink,
    .rmdir = SlowRmdir,
    .symlink = SlowSymlink,
    .rename = SlowRename,
    .link = SlowLink,
    .chmod = SlowChmod,
    .chown = SlowChown,
    .truncate = SlowTruncate,
    .utimens = SlowUtimens,
    .create = SlowCreate,
    .open = SlowOpen,
    .read = SlowRead,
    .write = SlowWrite,
    .statfs = SlowStatfs,
    .flush = SlowFlush,
    .release = SlowRelease,
    .fsync = SlowFsync,
    .fallocate = SlowFallocate,
    .opendir = SlowOpendir,
    .readdir = SlowReaddir,
    .releasedir = SlowReleasedir,
    .fsyncdir = SlowFsyncdir,
};

#define SLOW_OPT(t, p) \
  { t, offsetof(struct options, p), 1 }
static const struct fuse_opt kOptionSpec[] = {
    {"delay_us=%u", offsetof(struct options, delay_us), 0},
    {"--delay-us=%u", offsetof(struct options, delay_us), 0},
    {"--delay-us %u", offsetof(struct options, delay_us), 0},
    SLOW_OPT("noplus", no_plus),
    SLOW_OPT("-h", show_help),
    SLOW_OPT("--help", show_help),
    FUSE_OPT_END,
};

// Takes the first argument that is not an option as the backing folder and
// leaves the rest (the mount point) to fuse_main().
static int OptionProc(void *data, const char *arg, int key, struct fuse_args *outargs) {
  (void)data;
  (void)outargs;
  if (key == FUSE_OPT_KEY_NONOPT && options.backing == NULL) {
    options.backing = strdup(arg);
    return 0;
  }
  return 1;
}

int main(int argc, char *argv[]) {
  struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, kOptionSpec, OptionProc) == -1) return 1;
  if (options.show_help || options.backing == NULL) {
    fprintf(stderr,
            "usage: %s [options] BACKING MOUNTPOINT\n"
            "  -o delay_us=N, --delay-us N   delay of every request (default 1000)\n"
            "  -o noplus                     list folders without their attributes\n"
            "  -o max_threads=N              requests served at once (default 64)\n"
            "and the usual FUSE options (-f, -s, -d, -o allow_other, ...).\n",
            argv[0]);
    if (options.show_help) {
      fuse_opt_add_arg(&args, "--help");
      fuse_main(args.argc, args.argv, &kOperations, NULL);
    }
    return options.show_help ? 0 : 1;
  }
  backing_fd = open(options.backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (backing_fd == -1) {
    perror(options.backing);
    return 1;
  }
#if FUSE_MAJOR_VERSION > 3 || (FUSE_MAJOR_VERSION == 3 && FUSE_MINOR_VERSION >= 12)
  // libfuse serves at most 10 requests at once by default; a share answers
  // far more than that in parallel (SMB grants hundreds of credits), and a
  // cap here would be a limit of this model, not of the share. Inserted
  // before the caller's options so that a -o max_threads of theirs wins.
  fuse_opt_insert_arg(&args, 1, "-omax_threads=64");
#endif
  // The default timer slack lets a 1 ms sleep run 50 us long; make the
  // delay what was asked for. The loop's threads inherit this.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  const int res = fuse_main(args.argc, args.argv, &kOperations, NULL);
  fuse_opt_free_args(&args);
  return res;
}
