// The byte copy under Win32FileSystem::CopyInto, on its own so that the
// road for sparse files is tested also where the host makes no sparse file
// (Wine accepts FSCTL_SET_SPARSE but never reports the attribute).
#pragma once

#include <windows.h>

#include <system_error>

#include "platform/file_system.h"

namespace tandrel::win32 {

// The size of the blocks read and written.
inline constexpr DWORD kCopyBlockSize = 1 << 20;

// Copies `source`, just opened and so read from its start, into `target`,
// new and empty. With `sparse` a block of zeros is skipped over rather than
// written, which leaves a hole in a sparse target, and the end of file is
// set after the last block. `watch` hears of every block and may stop the
// copy between two (std::errc::operation_canceled).
std::error_code CopyBytes(HANDLE source, HANDLE target, bool sparse,
                          const CopyWatch* watch = nullptr);

}  // namespace tandrel::win32
