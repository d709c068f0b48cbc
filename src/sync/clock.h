// The wall clock, in the seconds that run names and temporary names carry.
#pragma once

#include <chrono>
#include <cstdint>

namespace tandrel {

// Seconds since 1970, now.
inline std::int64_t UnixSecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tandrel
