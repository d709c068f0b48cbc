#include "compare/plan_store.h"

#include <algorithm>
#include <iterator>

namespace tandrel {

void PlanStore::Clear() {
  parts_.clear();
  std::vector<std::uint8_t>().swap(state_);
  std::lock_guard<std::mutex> lock(aside_mutex_);
  aside_.clear();
}

void PlanStore::Append(std::vector<PlanRow> rows) {
  if (rows.empty()) return;
  for (const PlanRow& row : rows) state_.push_back(row.checked ? kTicked : 0);
  if (!parts_.empty() && !parts_.back().plan) {
    std::vector<PlanRow>& last = parts_.back().rows;
    last.insert(last.end(), std::make_move_iterator(rows.begin()),
                std::make_move_iterator(rows.end()));
    return;
  }
  const size_t first = state_.size() - rows.size();
  parts_.push_back({first, nullptr, std::move(rows)});
}

void PlanStore::Append(std::shared_ptr<const Plan> plan) {
  if (!plan || plan->size() == 0) return;
  const size_t first = state_.size();
  state_.resize(first + plan->size(), 0);
  parts_.push_back({first, std::move(plan), {}});
}

std::pair<const PlanStore::Part*, size_t> PlanStore::Find(size_t i) const {
  // Nearly always one part; the last whose first row is at or before i.
  const auto after =
      std::upper_bound(parts_.begin(), parts_.end(), i,
                       [](size_t row, const Part& part) { return row < part.first; });
  const Part& part = *std::prev(after);
  return {&part, i - part.first};
}

std::string PlanStore::Source(size_t i) const {
  const auto [part, at] = Find(i);
  return part->plan ? part->plan->Source(at) : part->rows[at].source;
}

std::string PlanStore::Destination(size_t i) const {
  const auto [part, at] = Find(i);
  return part->plan ? part->plan->Destination(at) : part->rows[at].destination;
}

std::string PlanStore::OwnAction(size_t i) const {
  const auto [part, at] = Find(i);
  return part->plan ? std::string(part->plan->Action(at)) : part->rows[at].action;
}

std::string PlanStore::Action(size_t i) const {
  switch (state_[i] & kActionMask) {
    case kShowsDone:
      return std::string(kDoneAction);
    case kShowsAside: {
      std::lock_guard<std::mutex> lock(aside_mutex_);
      return aside_.at(i);
    }
    default:
      return OwnAction(i);
  }
}

PlanRow PlanStore::Row(size_t i) const {
  const bool checked = (state_.at(i) & kTicked) != 0;
  return {Source(i), Action(i), Destination(i), checked};
}

void PlanStore::SetChecked(size_t i, bool checked) {
  std::uint8_t& state = state_.at(i);
  state = static_cast<std::uint8_t>(checked ? (state | kTicked) : (state & ~kTicked));
}

void PlanStore::SetAllChecked(bool checked) {
  for (std::uint8_t& state : state_) {
    state = static_cast<std::uint8_t>(checked ? (state | kTicked) : (state & ~kTicked));
  }
}

void PlanStore::SetAction(size_t i, const std::string& action) {
  std::uint8_t& state = state_.at(i);
  std::uint8_t shows = kShowsAside;
  if (action == kDoneAction) {
    shows = kShowsDone;
  } else if (action == OwnAction(i)) {
    shows = kShowsOwn;
  }
  std::lock_guard<std::mutex> lock(aside_mutex_);
  if (shows == kShowsAside) {
    aside_[i] = action;
  } else {
    aside_.erase(i);
  }
  state = static_cast<std::uint8_t>((state & ~kActionMask) | shows);
}

}  // namespace tandrel
