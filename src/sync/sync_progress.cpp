#include "sync/sync_progress.h"

#include <algorithm>
#include <cstdio>

namespace tandrel {
namespace {

// The rate is measured over this much of the recent past.
constexpr auto kRateWindow = std::chrono::seconds(5);
// No time left is promised before the rate has been seen this long.
constexpr auto kFirstEstimate = std::chrono::seconds(2);

std::string TimeLeftText(double seconds) {
  if (seconds < 60) {
    const int s = std::max(1, static_cast<int>(seconds + 0.5));
    return "about " + std::to_string(s) + (s == 1 ? " second left" : " seconds left");
  }
  const int minutes = static_cast<int>(seconds / 60 + 0.5);
  if (minutes < 120) {
    return "about " + std::to_string(minutes) + (minutes == 1 ? " minute left" : " minutes left");
  }
  return "about " + std::to_string(minutes / 60) + " hours left";
}

}  // namespace

std::string WithThousands(std::int64_t number) {
  const std::string digits = std::to_string(number < 0 ? -number : number);
  std::string text = number < 0 ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string SizeText(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 100 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string StoppedMessage(int done, int total) {
  return "Stopped. " + WithThousands(done) + " of " + WithThousands(total) + " rows were done.";
}

ProgressView ProgressMeter::Read(const SyncProgress& progress, Clock::time_point now) {
  ProgressView view;
  const int rows_done = progress.rows_done.load();
  const int rows_total = progress.rows_total.load();
  view.rows = WithThousands(rows_done) + " of " + WithThousands(rows_total) + " rows";
  view.file = progress.File();

  const bool counted = progress.bytes_counted.load();
  const std::int64_t total = progress.bytes_total.load();
  // A copy written again, or a file grown since it was counted, must not
  // show more than all.
  const std::int64_t copied =
      counted ? std::min(progress.bytes_copied.load(), total) : progress.bytes_copied.load();
  view.bytes = SizeText(copied) + " of " + SizeText(total) + (counted ? "" : " or more");

  samples_.emplace_back(now, copied);
  while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) samples_.pop_front();
  const auto span = now - samples_.front().first;
  const std::int64_t moved = copied - samples_.front().second;
  if (span > std::chrono::milliseconds(500) && moved > 0) {
    const double rate = static_cast<double>(moved) / std::chrono::duration<double>(span).count();
    view.bytes += ", " + SizeText(static_cast<std::int64_t>(rate)) + "/s";
    if (counted && span >= kFirstEstimate && total > copied) {
      view.bytes += ", " + TimeLeftText(static_cast<double>(total - copied) / rate);
    }
  }
  if (counted && total > 0) {
    view.per_mille = static_cast<int>(copied * 1000 / total);
  } else if (counted && rows_total > 0) {
    view.per_mille = rows_done * 1000 / rows_total;
  }
  return view;
}

}  // namespace tandrel
