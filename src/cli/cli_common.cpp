#include "cli/cli_common.h"

#include <cerrno>
#include <chrono>

#include "platform/system.h"
#include "version/version.h"

namespace tandrel::cli {

void PrintVersion(std::FILE* to) { (void)WriteText(to, "tandrel-cli " TANDREL_VERSION_FULL "\n"); }

void Say(std::string_view text) {
  (void)WriteText(stderr, "tandrel-cli: " + std::string(text) + "\n");
}

namespace {

// The reason of the stdio call that just failed, with errno cleared before
// it; a C library that sets none still gets the failure told.
std::error_code LastError() { return {errno != 0 ? errno : EIO, std::generic_category()}; }

}  // namespace

int CloseStandardOutput(int code, std::error_code earlier) {
  std::error_code error = earlier;
  errno = 0;
  if (std::fflush(stdout) != 0 && !error) error = LastError();
  // A write that failed before without telling us why.
  if (!error && std::ferror(stdout)) error = std::make_error_code(std::errc::io_error);
  errno = 0;
  // Once all was flushed, a descriptor closed from the start lost nothing
  // (as with gnulib's close_stdout); any other failure to close may have.
  if (std::fclose(stdout) != 0 && !error && errno != EBADF) error = LastError();
  if (!error) return code;
  Say("write error: " + error.message());
  return code == kExitOk ? kExitFailed : code;
}

void RowWriter::Write(std::string_view source, std::string_view action,
                      std::string_view destination) {
  buffer_.append(source);
  buffer_ += '\t';
  buffer_.append(action);
  buffer_ += '\t';
  buffer_.append(destination);
  buffer_ += end_;
  FlushWhenDue();
}

void RowWriter::Write(const Plan& plan, size_t row, std::string_view action) {
  const Plan::PathText source = plan.SourceText(row);
  const Plan::PathText destination = plan.DestinationText(row);
  buffer_.append(source.folder);
  buffer_.append(source.name);
  buffer_ += '\t';
  buffer_.append(action.empty() ? plan.Action(row) : action);
  buffer_ += '\t';
  buffer_.append(destination.folder);
  buffer_.append(destination.name);
  buffer_ += end_;
  FlushWhenDue();
}

void RowWriter::FlushWhenDue() {
  // Rows reach a reader (and survive a kill) within a fraction of a second,
  // while a fast run still writes in large blocks.
  constexpr size_t kBlock = 1 << 20;
  constexpr auto kAtMost = std::chrono::milliseconds(200);
  const auto now = std::chrono::steady_clock::now();
  if (buffer_.size() >= kBlock || now - last_flush_ >= kAtMost) {
    Flush();
    last_flush_ = now;
  }
}

void RowWriter::WriteLine(std::string_view text) {
  buffer_.append(text);
  buffer_ += end_;
}

void RowWriter::Flush() {
  const auto write = [this] {
    errno = 0;
    if (!buffer_.empty() && !WriteText(stdout, buffer_)) {
      error_ = LastError();
    } else if (std::fflush(stdout) != 0) {
      error_ = LastError();
    }
  };
  if (!error_ && !closed_ && !buffer_.empty()) {
    if (around_) {
      around_(write);
    } else {
      write();
    }
  }
  buffer_.clear();
}

int RowWriter::Close(int code) {
  Flush();
  closed_ = true;
  return CloseStandardOutput(code, error_);
}

}  // namespace tandrel::cli
