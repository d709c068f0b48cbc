#include "sync/windows_names.h"

#include <array>

namespace tandrel {
namespace {

bool IsDeviceName(std::string_view name) {
  // The part before the first dot names the device: "aux.log" is AUX.
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

std::optional<std::string> WindowsRefuses(std::string_view name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      return "Windows does not allow control characters (such as a tab) in a file name";
    }
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
      return "Windows does not allow the character " + std::string(1, c) + " in a file name";
    }
  }
  if (!name.empty() && name.back() == '.')
    return "Windows does not allow a file name ending in a dot";
  if (!name.empty() && name.back() == ' ') {
    return "Windows does not allow a file name ending in a blank";
  }
  if (IsDeviceName(name)) {
    return "Windows does not allow the name " + std::string(name) + " for a file";
  }
  return std::nullopt;
}

bool PlainName(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return !IsDeviceName(name);
}

}  // namespace tandrel
