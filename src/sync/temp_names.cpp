#include "sync/temp_names.h"

#include <charconv>
#include <cstdio>
#include <random>

#include "sync/clock.h"

namespace tandrel {
namespace {

constexpr std::string_view kPrefix = "~tandrel-";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kLegacyTokenLength = 8;
constexpr size_t kTokenLength = 16;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

TempNames::TempNames() {
  std::random_device random;
  char token[kTokenLength + 1];
  std::snprintf(token, sizeof token, "%08x%08x", static_cast<unsigned>(UnixSecondsNow()),
                static_cast<unsigned>(random()));
  token_ = token;
}

std::optional<std::int64_t> TempNames::StartedAt(std::string_view name) {
  if (!name.starts_with(kPrefix) || name.size() < kPrefix.size() + kTokenLength + 1 ||
      name[kPrefix.size() + kTokenLength] != '-') {
    return std::nullopt;
  }
  const char* start = name.data() + kPrefix.size();
  std::uint32_t seconds = 0;
  const auto [end, ec] = std::from_chars(start, start + 8, seconds, 16);
  if (ec != std::errc() || end != start + 8) return std::nullopt;
  return seconds;
}

std::string TempNames::Next() {
  return std::string(kPrefix) + token_ + "-" + std::to_string(++counter_) + std::string(kSuffix);
}

std::string TempNames::Prefix() const { return std::string(kPrefix) + token_ + "-"; }

bool TempNames::IsOthers(std::string_view name) const {
  // Exactly the shape Next makes, so that no file of anybody else's is ever
  // taken for a leftover.
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix)) return false;
  name.remove_prefix(kPrefix.size());
  name.remove_suffix(kSuffix.size());
  const size_t length = name.find('-');
  if ((length != kTokenLength && length != kLegacyTokenLength) || name.size() < length + 2) {
    return false;
  }
  const std::string_view token = name.substr(0, length);
  const std::string_view number = name.substr(length + 1);
  for (char c : token) {
    if (!IsHexDigit(c)) return false;
  }
  for (char c : number) {
    if (!IsDigit(c)) return false;
  }
  return token != token_;
}

}  // namespace tandrel
