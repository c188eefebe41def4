// Accepted connections waiting for a worker: at most a given number wait,
// and none waits longer than a given time (the listener takes those out and
// answers them 503).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"

namespace kvserve {

struct Accepted {
  UniqueSocket socket;
  std::string peer;  // address:port
  std::chrono::steady_clock::time_point queuedAt{};
};

class WaitingLine {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WaitingLine(size_t capacity) : capacity_(capacity) {}

  // Stamps the connection with now; false (and the item left with the
  // caller) when the line is full.
  bool Push(Accepted& item, Clock::time_point now = Clock::now());
  // Blocks until a connection is there; nothing once stopped.
  std::optional<Accepted> Pop();
  // Takes out the connections that have waited longer than maxWait, oldest
  // first.
  std::vector<Accepted> TakeOverdue(Clock::duration maxWait, Clock::time_point now = Clock::now());
  bool HasWaiting();
  size_t Size();
  void Stop();

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Accepted> items_;
  bool stopped_ = false;
};

}  // namespace kvserve
