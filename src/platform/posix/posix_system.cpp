#include <unistd.h>

#include "platform/posix/posix_file_system.h"
#include "platform/system.h"

namespace tandrel {

std::unique_ptr<FileSystem> MakeRealFileSystem() { return std::make_unique<PosixFileSystem>(); }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void SetStandardOutputBinary() {}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  if (argc < 2) return {};
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace tandrel
