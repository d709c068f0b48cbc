// What the file system under an open descriptor keeps and how it behaves.
#pragma once

#include <system_error>

#include "platform/file_system.h"

namespace tandrel {

// Asks the kernel which file system holds `fd` and, for a FUSE driver, what
// the mount table says it is: its type, and where that does not tell (a
// block-device driver), the device's boot sector, or for a driver that
// mirrors a folder (bindfs), the file system of that folder.
std::error_code DescribeStorage(int fd, Storage* storage);

// True when flushing the whole file system holding `fd` (syncfs) puts the
// file's data on its storage: not for FUSE drivers or network shares, which
// the kernel does not pass it on to.
bool SyncfsReaches(int fd);

}  // namespace tandrel
