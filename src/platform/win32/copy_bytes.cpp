#include "platform/win32/copy_bytes.h"

#include <algorithm>
#include <memory>

#include "platform/win32/wide.h"

namespace tandrel::win32 {
namespace {

bool IsAllZero(const char* data, DWORD size) {
  return std::all_of(data, data + size, [](char c) { return c == 0; });
}

}  // namespace

std::error_code CopyBytes(HANDLE source, HANDLE target, bool sparse, const CopyWatch* watch) {
  auto block = std::make_unique<char[]>(kCopyBlockSize);
  LARGE_INTEGER total{};
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(source, block.get(), kCopyBlockSize, &got, nullptr)) return LastError();
    if (got == 0) break;
    total.QuadPart += got;
    if (watch != nullptr && !watch->Wrote(got)) {
      return std::make_error_code(std::errc::operation_canceled);
    }
    if (sparse && IsAllZero(block.get(), got)) {
      if (!::SetFilePointerEx(target, total, nullptr, FILE_BEGIN)) return LastError();
      continue;
    }
    DWORD written = 0;
    if (!::WriteFile(target, block.get(), got, &written, nullptr)) return LastError();
    if (written != got) return Win32Error(ERROR_WRITE_FAULT);
  }
  if (sparse) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile = total;
    if (!::SetFileInformationByHandle(target, FileEndOfFileInfo, &end, sizeof(end))) {
      return LastError();
    }
  }
  return {};
}

}  // namespace tandrel::win32
