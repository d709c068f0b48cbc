// Move-only owners of the Windows handles and blocks this layer obtains, so
// that each is released on every path out of the procedure that got it.
#pragma once

#include <windows.h>

#include <utility>

namespace tandrel::win32 {

// Owns a handle closed by `Close` (CloseHandle, FindClose, ...). Both null
// and INVALID_HANDLE_VALUE mean "no handle", since the API uses either.
template <typename Handle, BOOL(WINAPI* Close)(Handle)>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return valid(); }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  Handle release() { return std::exchange(handle_, nullptr); }
  void reset(Handle handle = nullptr) {
    if (valid()) Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = nullptr;
};

// A file, folder or process handle.
using FileHandle = UniqueHandle<HANDLE, ::CloseHandle>;
// A search handle of FindFirstFileW / FindFirstFileExW.
using FindHandle = UniqueHandle<HANDLE, ::FindClose>;

}  // namespace tandrel::win32
