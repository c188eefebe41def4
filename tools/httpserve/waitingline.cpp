#include "waitingline.h"

#include <utility>

namespace kvserve {

bool WaitingLine::Push(Accepted& item, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || items_.size() >= capacity_) return false;
    item.queuedAt = now;
    items_.push_back(std::move(item));
  }
  ready_.notify_one();
  return true;
}

std::optional<Accepted> WaitingLine::Pop() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [&] { return stopped_ || !items_.empty(); });
  if (items_.empty()) return std::nullopt;
  Accepted item = std::move(items_.front());
  items_.pop_front();
  return item;
}

std::vector<Accepted> WaitingLine::TakeOverdue(Clock::duration maxWait, Clock::time_point now) {
  std::vector<Accepted> overdue;
  std::lock_guard<std::mutex> lock(mutex_);
  // In arrival order: the overdue ones are at the front.
  while (!items_.empty() && now - items_.front().queuedAt > maxWait) {
    overdue.push_back(std::move(items_.front()));
    items_.pop_front();
  }
  return overdue;
}

bool WaitingLine::HasWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !items_.empty();
}

size_t WaitingLine::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

void WaitingLine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  ready_.notify_all();
}

}  // namespace kvserve
