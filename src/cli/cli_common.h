// What the commands of tandrel-cli share: writing rows to stdout and
// closing it.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "compare/plan.h"

namespace tandrel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Flushes and closes stdout, as the last thing the program does with it.
// A write to it that failed, `earlier` or now, is told on stderr
// ("tandrel-cli: write error: <reason>") and a `code` of kExitOk becomes
// kExitFailed: output that was lost is a failure, as in GNU tools.
int CloseStandardOutput(int code, std::error_code earlier = {});

// Writes rows to stdout through one large buffer. After a write fails the
// rest is dropped and the failure is kept for Close.
class RowWriter {
 public:
  explicit RowWriter(bool nul_terminated) : end_(nul_terminated ? '\0' : '\n') {}
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;
  ~RowWriter() { Flush(); }
  // Source TAB Action TAB Destination, then the row end.
  void Write(std::string_view source, std::string_view action, std::string_view destination);
  // The same for a row of a plan, without building its texts; with
  // `action`, that in place of the row's own.
  void Write(const Plan& plan, size_t row, std::string_view action = {});
  void WriteLine(std::string_view text);
  void Flush();
  // Flushes, then closes stdout as CloseStandardOutput does; nothing is
  // written after it.
  int Close(int code);
  // Has every write to stdout made through `around`, which makes it.
  void WriteAround(std::function<void(const std::function<void()>&)> around) {
    around_ = std::move(around);
  }
  // Flushes, then makes a write of another kind (to stderr) the same way.
  void WriteBeside(const std::function<void()>& write) {
    Flush();
    around_ ? around_(write) : write();
  }

 private:
  void FlushWhenDue();

  char end_;
  std::string buffer_;
  std::chrono::steady_clock::time_point last_flush_ = std::chrono::steady_clock::now();
  std::error_code error_;  // the first write that failed
  bool closed_ = false;
  std::function<void(const std::function<void()>&)> around_;
};

// "tandrel-cli: <text>" and a newline on stderr (see WriteText).
void Say(std::string_view text);

// "tandrel-cli X.Y.Z", with what `git describe` said for a build that is not
// of a release tag.
void PrintVersion(std::FILE* to);

}  // namespace tandrel::cli
