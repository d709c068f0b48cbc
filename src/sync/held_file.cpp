#include "sync/held_file.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sync/reason.h"

namespace tandrel {
namespace {

// The waits between attempts: about two seconds in all, short at first,
// since most holders (a scan, a thumbnail) let go within a moment.
constexpr std::chrono::milliseconds kWaits[] = {
    std::chrono::milliseconds(50),  std::chrono::milliseconds(100), std::chrono::milliseconds(200),
    std::chrono::milliseconds(300), std::chrono::milliseconds(400), std::chrono::milliseconds(450),
    std::chrono::milliseconds(500)};

// Waits `wait`, or less when `stop` is requested meanwhile; false then.
bool WaitUnlessStopped(std::chrono::milliseconds wait, const std::stop_token& stop) {
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  return !woken.wait_for(lock, stop, wait, [] { return false; }) && !stop.stop_requested();
}

}  // namespace

bool MayBeHeld(const std::error_code& ec, const Storage& storage) {
  return ec == std::errc::device_or_resource_busy ||
         (storage.remote && ec == std::errc::permission_denied);
}

std::error_code RetryWhileHeld(const std::function<std::error_code()>& attempt,
                               const Storage& storage, const std::stop_token& stop) {
  std::error_code ec = attempt();
  for (const std::chrono::milliseconds wait : kWaits) {
    if (!MayBeHeld(ec, storage) || !WaitUnlessStopped(wait, stop)) break;
    ec = attempt();
  }
  return ec;
}

std::string HeldReason(const std::error_code& ec, const Storage& storage, std::string_view path,
                       std::string_view program, std::string_view what) {
  if (!MayBeHeld(ec, storage)) return {};
  std::string text(path);
  if (ec != std::errc::device_or_resource_busy) {
    // A refusal may be just that: the system's words come first.
    text += " could not be ";
    text += what;
    text += ": ";
    text += Sentence(ec);
    text +=
        " It may be open in another program, on this or another computer: close it and sync "
        "again.";
    return text;
  }
  text += " is open in another program";
  if (!program.empty()) {
    text += " (";
    text += program;
    text += ")";
  }
  text += ", so it was not ";
  text += what;
  text += ". Close it and sync again.";
  return text;
}

}  // namespace tandrel
