#include "lingerer.h"

#include <utility>

namespace kvserve {

namespace {

constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr int64_t kMaxDiscard = 8 << 20;

// Reads and drops what is there without blocking. False once the socket is
// done: closed by the client, failed, or over the byte limit.
bool Discard(SOCKET socket, int64_t& discarded) {
  char sink[16 * 1024];
  while (discarded < kMaxDiscard) {
    const int n = recv(socket, sink, sizeof sink, 0);
    if (n > 0) {
      discarded += n;
      continue;
    }
    return n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
  }
  return false;
}

}  // namespace

void Lingerer::Add(UniqueSocket socket) {
  if (!socket) return;
  u_long nonBlocking = 1;
  ioctlsocket(socket.Get(), FIONBIO, &nonBlocking);
  shutdown(socket.Get(), SD_SEND);
  std::lock_guard<std::mutex> lock(mutex_);
  if (items_.size() >= capacity_) return;  // closes now
  items_.push_back(Item{std::move(socket), Clock::now() + kLingerTime, 0});
}

bool Lingerer::Poll() {
  std::vector<Item> items;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items.swap(items_);
  }
  const Clock::time_point now = Clock::now();
  std::vector<Item> keep;
  for (Item& item : items)
    if (now < item.until && Discard(item.socket.Get(), item.discarded))
      keep.push_back(std::move(item));
  // The others close as `items` goes.
  std::lock_guard<std::mutex> lock(mutex_);
  for (Item& item : keep) items_.push_back(std::move(item));
  return !items_.empty();
}

size_t Lingerer::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

}  // namespace kvserve
