// The names of one sync run's temporary files: "~tandrel-<token>-<n>.tmp".
// The "~" keeps a leftover out of every comparison; the token, the run's
// start in seconds since 1970 and a random number (8 hexadecimal digits
// each), keeps two runs (or two programs) from reaching for the same names
// and tells how old a leftover is where its file's own times cannot (a
// copy carries its source's time). Runs before that had the random number
// alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tandrel {

// Next may be called from several threads at once.
class TempNames {
 public:
  TempNames();
  std::string Next();
  // What every name of this run's temporaries begins with.
  std::string Prefix() const;
  // True for the name of a temporary file of another run than this one.
  bool IsOthers(std::string_view name) const;
  // When the run that made the temporary `name` started (seconds since
  // 1970), where its name tells.
  static std::optional<std::int64_t> StartedAt(std::string_view name);

 private:
  std::string token_;
  std::atomic<unsigned long> counter_ = 0;
};

}  // namespace tandrel
