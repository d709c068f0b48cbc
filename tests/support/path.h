// Paths in tests are written with '/'; P() gives them the platform's
// separator, so that one test source states the same thing everywhere.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/separator.h"

namespace tandrel::testing {

inline std::string P(std::string_view path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '/', kSeparator);
  return native;
}

}  // namespace tandrel::testing
