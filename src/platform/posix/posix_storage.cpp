#include "platform/posix/posix_storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef __linux__
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#endif

namespace tandrel {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// The file systems this program treats apart, as statfs numbers them.
constexpr long kFatMagic = 0x4d44;
constexpr long kExfatMagic = 0x2011BAB0;
constexpr long kNtfsMagic = 0x5346544e;  // ntfs3 and the old ntfs driver
constexpr long kFuseMagic = 0x65735546;
constexpr long kCifsMagic = static_cast<long>(0xFF534D42);
constexpr long kSmb2Magic = static_cast<long>(0xFE534D42);
constexpr long kSmbMagic = 0x517B;
constexpr long kNfsMagic = 0x6969;
constexpr long kAfsMagic = 0x5346414F;
constexpr long kCephMagic = 0x00c36400;
constexpr long kV9fsMagic = 0x01021997;

Storage Ntfs() {
  Storage s;
  s.time_step_ns = 100;
  return s;
}

Storage Smb() {
  Storage s;
  s.time_step_ns = 100;
  s.ignores_case = true;
  s.remote = true;
  s.windows_names = true;
  return s;
}

// Undoes the octal escapes (\040 for a blank) of the mount table.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits(text.substr(i + 1, 3));
      char* end = nullptr;
      const long value = std::strtol(digits.c_str(), &end, 8);
      if (end == digits.c_str() + 3) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

struct MountEntry {
  std::string type;
  std::string source;
  std::string point;    // where it is mounted
  std::string options;  // the file system's own (the last field)
};

// The mount-table entry of the file system numbered `device`.
std::optional<MountEntry> FindMount(dev_t device) {
#ifdef __linux__
  std::ifstream table("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
    size_t at = 0;
    for (int field = 0; field < 2 && at != std::string::npos; ++field) {
      at = line.find(' ', at);
      if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos || line.compare(at, wanted.size() + 1, wanted + " ") != 0) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const size_t type_end = line.find(' ', dash + 3);
    if (type_end == std::string::npos) continue;
    const size_t source_end = line.find(' ', type_end + 1);
    MountEntry entry;
    // ROOT and POINT follow MAJOR:MINOR.
    const size_t root_end = line.find(' ', at + wanted.size() + 1);
    const size_t point_end =
        root_end == std::string::npos ? root_end : line.find(' ', root_end + 1);
    if (point_end != std::string::npos) {
      entry.point = Unescape(std::string_view(line).substr(root_end + 1, point_end - root_end - 1));
    }
    entry.type = line.substr(dash + 3, type_end - dash - 3);
    entry.source = Unescape(std::string_view(line).substr(
        type_end + 1, (source_end == std::string::npos ? line.size() : source_end) - type_end - 1));
    if (source_end != std::string::npos) entry.options = line.substr(source_end + 1);
    return entry;
  }
#else
  (void)device;
#endif
  return std::nullopt;
}

Storage FromStatfs(long type, int fd, int depth);

// The words of a command line `args` (after the program) that are not
// options: "-o" takes the word after it, and "-x" stands alone.
std::vector<std::string> NonOptionWords(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      ++i;
    } else if (!args[i].starts_with("-")) {
      words.push_back(args[i]);
    }
  }
  return words;
}

// The words of the command line of the FUSE driver `program` (bindfs,
// ntfs-3g) that serves the mount point `point`, without the program's own
// path and with "-o" lists kept as they are; empty when none is found. The
// mount table names neither the folder bindfs mirrors (where its path has a
// blank) nor ntfs-3g's options: the process's command line does, ending
// with the mount point.
std::vector<std::string> FindDriverArguments(const std::string& point, std::string_view program) {
#ifdef __linux__
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return {};
  while (const dirent* entry = ::readdir(proc.get())) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(file, arg, '\0');) args.push_back(arg);
    if (args.size() < 3 || !args[0].ends_with(program)) continue;
    args.erase(args.begin());
    // Options may come anywhere; the last word that is not one is the
    // mount point.
    const std::vector<std::string> words = NonOptionWords(args);
    const std::string mounted = words.empty() ? std::string() : words.back();
    char resolved[PATH_MAX];
    if (!mounted.empty() &&
        (mounted == point ||
         (::realpath(mounted.c_str(), resolved) != nullptr && point == resolved))) {
      return args;
    }
  }
#else
  (void)point;
  (void)program;
#endif
  return {};
}

// The same, looked for once per mount point and driver: every folder of a
// sync is described, and the process list is long.
const std::vector<std::string>& DriverArguments(const std::string& point,
                                                std::string_view program) {
  static std::mutex mutex;
  static std::map<std::string, std::vector<std::string>> found;
  std::lock_guard lock(mutex);
  const auto [at, added] = found.try_emplace(std::string(program) + '\0' + point);
  if (added) at->second = FindDriverArguments(point, program);
  return at->second;
}

// The folder bindfs mirrors: the word before the mount point.
std::string BindfsSource(const std::string& point) {
  const std::vector<std::string> words = NonOptionWords(DriverArguments(point, "bindfs"));
  return words.size() < 2 ? std::string() : words[words.size() - 2];
}

// Whether the option `name` is in one of the comma lists `options`.
bool HasOption(std::string_view options, std::string_view name) {
  while (!options.empty()) {
    const size_t comma = options.find(',');
    if (options.substr(0, comma) == name) return true;
    if (comma == std::string_view::npos) break;
    options.remove_prefix(comma + 1);
  }
  return false;
}

// NTFS mounted with windows_names (ntfs-3g and ntfs3 know the option)
// refuses the names Windows does not allow, with a bare "Invalid argument".
Storage NtfsAt(const std::optional<MountEntry>& mount, bool fuse) {
  Storage storage = Ntfs();
  if (!mount) return storage;
  if (!fuse) {
    storage.windows_names = HasOption(mount->options, "windows_names");
    return storage;
  }
  const std::vector<std::string>& args = DriverArguments(mount->point, "ntfs-3g");
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "-o" && HasOption(args[i + 1], "windows_names")) storage.windows_names = true;
  }
  return storage;
}

// exFAT through exfat-fuse, which keeps whole seconds: it neither writes
// nor reads exFAT's 10 ms part. Taken for 10 ms, every copy's time would
// look dropped and be set again and looked at again.
Storage ExfatFuseStorage() {
  Storage s = ExfatStorage();
  s.time_step_ns = kSecond;
  return s;
}

// The boot sector of a block device names its file system; a device that
// cannot be read (a user without the disk group) tells nothing.
std::optional<Storage> FromBootSector(const MountEntry& mount) {
  const int fd = ::open(mount.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  char sector[512] = {};
  const ssize_t got = ::pread(fd, sector, sizeof sector, 0);
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof sector)) return std::nullopt;
  const std::string_view oem(sector + 3, 8);
  if (oem == "EXFAT   ") return ExfatFuseStorage();
  if (oem == "NTFS    ") return NtfsAt(mount, /*fuse=*/true);
  if (std::string_view(sector + 82, 5) == "FAT32" || std::string_view(sector + 54, 3) == "FAT") {
    return FatStorage();
  }
  return std::nullopt;
}

// A FUSE driver: its type in the mount table names most; a block-device
// driver (exfat-fuse, ntfs-3g) is told by its device's boot sector, and a
// driver that mirrors a folder by that folder's file system.
Storage FromFuse(int fd, int depth) {
  Storage unknown;
  unknown.remote = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return unknown;
  const std::optional<MountEntry> mount = FindMount(st.st_dev);
  if (!mount) return unknown;
  std::string_view type = mount->type;
  if (type.starts_with("fuse.")) type.remove_prefix(5);
  Storage storage = unknown;
  if (type == "fusefat" || type == "vfat" || type == "fat") {
    storage = FatStorage();
  } else if (type == "exfat" || type == "exfat-fuse") {
    storage = ExfatFuseStorage();
  } else if (type == "ntfs-3g" || type == "ntfs" || type == "ntfs3" || type == "lowntfs-3g") {
    storage = NtfsAt(mount, /*fuse=*/true);
  } else if (type == "sshfs") {
    // SFTP carries whole seconds.
    storage.time_step_ns = kSecond;
  } else if (type == "smbnetfs") {
    // It sets times in whole seconds.
    storage = Smb();
    storage.time_step_ns = kSecond;
  } else if (type == "fuseblk") {
    if (std::optional<Storage> known = FromBootSector(*mount)) storage = *known;
  } else if (depth < 4) {
    // A driver that mirrors a folder keeps what that folder's file system
    // keeps.
    std::string mirrored = mount->source;
    if (type == "bindfs") mirrored = BindfsSource(mount->point);
    const int source = mirrored.starts_with('/')
                           ? ::open(mirrored.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
    if (source >= 0) {
      struct statfs sf {};
      if (::fstatfs(source, &sf) == 0)
        storage = FromStatfs(static_cast<long>(sf.f_type), source, depth + 1);
      ::close(source);
    }
  }
  storage.remote = true;
  return storage;
}

bool IsRemoteType(long type) {
  switch (type) {
    case kFuseMagic:
    case kCifsMagic:
    case kSmb2Magic:
    case kSmbMagic:
    case kNfsMagic:
    case kAfsMagic:
    case kCephMagic:
    case kV9fsMagic:
      return true;
    default:
      return false;
  }
}

Storage FromStatfs(long type, int fd, int depth) {
  switch (type) {
    case kFatMagic:
      return FatStorage();
    case kExfatMagic:
      return ExfatStorage();
    case kNtfsMagic: {
      struct stat st {};
      return NtfsAt(::fstat(fd, &st) == 0 ? FindMount(st.st_dev) : std::nullopt, /*fuse=*/false);
    }
    case kCifsMagic:
    case kSmb2Magic:
    case kSmbMagic:
      return Smb();
    case kFuseMagic:
      return FromFuse(fd, depth);
    default: {
      Storage s;
      s.remote = IsRemoteType(type);
      return s;
    }
  }
}

}  // namespace

std::error_code DescribeStorage(int fd, Storage* storage) {
  *storage = Storage{};
#ifdef __linux__
  struct statfs sf {};
  if (::fstatfs(fd, &sf) != 0) return {errno, std::generic_category()};
  *storage = FromStatfs(static_cast<long>(sf.f_type), fd, 0);
#else
  (void)fd;
#endif
  return {};
}

bool SyncfsReaches(int fd) {
#ifdef __linux__
  struct statfs sf {};
  return ::fstatfs(fd, &sf) == 0 && !IsRemoteType(static_cast<long>(sf.f_type));
#else
  (void)fd;
  return false;
#endif
}

}  // namespace tandrel
