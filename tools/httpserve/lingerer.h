// Connections whose last response has gone out, closed gently: sending
// stops at once, and what the client still sends is read and dropped for a
// short, bounded while before the socket closes, so that a client still
// sending a body it was refused reads the response rather than a reset.
// The listener thread does the waiting (Poll), not a worker.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "connection.h"

namespace kvserve {

class Lingerer {
 public:
  using Clock = std::chrono::steady_clock;

  // At most `capacity` sockets linger; beyond that one closes at once.
  explicit Lingerer(size_t capacity) : capacity_(capacity) {}

  // Takes the socket over: no more sending, no blocking on it.
  void Add(UniqueSocket socket);
  // Drops what has arrived and closes the sockets whose client has closed,
  // whose time is up or that brought too much. Returns whether any is left.
  bool Poll();
  size_t Count();

 private:
  struct Item {
    UniqueSocket socket;
    Clock::time_point until;
    int64_t discarded = 0;
  };

  const size_t capacity_;
  std::mutex mutex_;
  std::vector<Item> items_;
};

}  // namespace kvserve
