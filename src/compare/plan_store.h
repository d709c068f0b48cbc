// The rows of a plan list as a window keeps them: the compact plans that
// the compares made, rows appended as text (rare), and one byte of state a
// row. A row's texts are made only when asked for, so a list of millions of
// rows costs a few bytes a row and is appended in no time.
//
// Threads: one thread changes the store (the window's); another may read
// rows meanwhile (a sync run), as long as it reads no row that is being
// changed and nothing is appended or cleared while it reads. Reads keep no
// cache, and the texts kept aside for a row are behind a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "compare/plan.h"
#include "platform/window.h"

namespace tandrel {

class PlanStore {
 public:
  // Rows count from 0 here.
  size_t size() const { return state_.size(); }
  bool empty() const { return state_.empty(); }

  void Clear();
  // Both append their rows unticked except as `rows` say.
  void Append(std::vector<PlanRow> rows);
  void Append(std::shared_ptr<const Plan> plan);

  PlanRow Row(size_t i) const;
  std::string Source(size_t i) const;
  std::string Action(size_t i) const;
  std::string Destination(size_t i) const;
  bool Checked(size_t i) const { return (state_[i] & kTicked) != 0; }

  void SetChecked(size_t i, bool checked);
  void SetAllChecked(bool checked);
  void SetAction(size_t i, const std::string& action);

 private:
  // A row's state byte: the tick, and which Action it shows.
  static constexpr std::uint8_t kTicked = 1;
  static constexpr std::uint8_t kActionMask = 6;
  static constexpr std::uint8_t kShowsOwn = 0;    // the plan's phrase, or the appended text
  static constexpr std::uint8_t kShowsDone = 2;   // "Done"
  static constexpr std::uint8_t kShowsAside = 4;  // a text of aside_

  // A run of rows: those of one plan, or rows appended as text.
  struct Part {
    size_t first;
    std::shared_ptr<const Plan> plan;
    std::vector<PlanRow> rows;
  };
  // The part that holds row `i`, and the row's index in it.
  std::pair<const Part*, size_t> Find(size_t i) const;
  std::string OwnAction(size_t i) const;

  std::vector<Part> parts_;
  std::vector<std::uint8_t> state_;
  mutable std::mutex aside_mutex_;
  std::unordered_map<size_t, std::string> aside_;
};

}  // namespace tandrel
