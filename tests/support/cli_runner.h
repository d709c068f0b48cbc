// Runs the built tandrel-cli as a shell command (POSIX) and collects what it
// printed and how it ended.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_folder.h"

namespace tandrel::testing {

struct CliRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Single-quotes `s` for the shell.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs `program args` with no standard input, its output caught in files
// of `scratch`. `prefix` goes before the program (e.g. to run it as
// another user).
inline CliRun RunProgram(const std::string& program, const TempFolder& scratch,
                         const std::string& args, const std::string& prefix = "") {
  const std::string out = scratch.path() + "out", err = scratch.path() + "err";
  const std::string command =
      prefix + Quote(program) + " " + args + " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
  const int status = std::system(command.c_str());
  CliRun run;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = TempFolder::Read(out);
  run.err = TempFolder::Read(err);
  return run;
}

}  // namespace tandrel::testing
