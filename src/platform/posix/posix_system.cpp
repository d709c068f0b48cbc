#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/posix/posix_file_system.h"
#include "platform/system.h"

namespace tandrel {

std::unique_ptr<FileSystem> MakeRealFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::string ComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void SetStandardOutputBinary() {}

bool WriteText(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

namespace {
std::atomic<int> interrupt_signal = 0;
}  // namespace

void StopOnInterrupt(std::stop_source stop) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  // Blocked here, and so in every thread made after; one thread waits for
  // them, where it may do more than a signal handler could.
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set, stop = std::move(stop)]() mutable {
    for (;;) {
      int signal = 0;
      if (::sigwait(&set, &signal) != 0) continue;
      int none = 0;
      if (!interrupt_signal.compare_exchange_strong(none, signal)) std::_Exit(128 + signal);
      stop.request_stop();
    }
  }).detach();
}

int InterruptSignal() { return interrupt_signal.load(); }

void KeepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

void RaiseOpenFileLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

int OpenFileLimit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT_MAX;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  if (argc < 2) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace tandrel
