#include "connection.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "httpparse.h"

namespace kvserve {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;
// Largest single recv/send: Winsock counts in int.
constexpr int64_t kMaxIo = 1 << 30;

using Clock = Connection::Clock;

// How long a receive counts as proof that the client is there.
constexpr auto kFreshReceive = std::chrono::milliseconds(50);

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

}  // namespace

WinsockSession::WinsockSession() {
  WSADATA data{};
  status_ = WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockSession::~WinsockSession() {
  if (status_ == 0) WSACleanup();
}

void UniqueSocket::Reset(SOCKET socket) noexcept {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = socket;
}

int WaitReadable(SOCKET socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval wait{};
  wait.tv_sec = milliseconds / 1000;
  wait.tv_usec = (milliseconds % 1000) * 1000;
  const int n = select(0, &readable, nullptr, nullptr, &wait);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}

Connection::Connection(UniqueSocket socket, std::string peer, int ioTimeoutMs)
    : socket_(std::move(socket)),
      peer_(std::move(peer)),
      ioTimeoutMs_(ioTimeoutMs),
      buffer_(kBufferBytes) {
  const DWORD timeout = static_cast<DWORD>(ioTimeoutMs);
  setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  setsockopt(socket_.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  // Responses are written in whole pieces; no waiting for more.
  const BOOL noDelay = TRUE;
  setsockopt(socket_.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof noDelay);
}

void Connection::Compact() {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
}

int64_t Connection::Fill(int timeoutMs) {
  if (gone_) return -1;
  Compact();
  if (end_ == buffer_.size()) return -1;
  const int ready = WaitReadable(socket_.Get(), timeoutMs);
  if (ready <= 0) {
    if (ready == 0) timedOut_ = true;
    return -1;
  }
  const int n =
      recv(socket_.Get(), buffer_.data() + end_, static_cast<int>(buffer_.size() - end_), 0);
  if (n <= 0) {
    gone_ = true;
    return n == 0 ? 0 : -1;
  }
  end_ += static_cast<size_t>(n);
  lastReceive_ = Clock::now();
  return n;
}

Connection::HeadResult Connection::ReadHead(std::string& head, size_t maxBytes, int timeoutMs) {
  head.clear();
  timedOut_ = false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  maxBytes = std::min(maxBytes, buffer_.size());
  bool sawByte = false;
  for (;;) {
    // Empty lines before a request line are skipped (some clients send a
    // CR LF after a body).
    while (begin_ < end_ && (buffer_[begin_] == '\r' || buffer_[begin_] == '\n')) {
      ++begin_;
      sawByte = true;
    }
    const std::string_view data(buffer_.data() + begin_, end_ - begin_);
    if (!data.empty()) sawByte = true;
    const size_t headEnd = FindHeadEnd(data);
    if (headEnd != std::string_view::npos) {
      if (headEnd > maxBytes) return HeadResult::TooLarge;
      head.assign(data.substr(0, headEnd));
      begin_ += headEnd;
      return HeadResult::Ready;
    }
    if (data.size() >= maxBytes) return HeadResult::TooLarge;
    const int64_t n = Fill(MillisecondsLeft(deadline));
    if (n > 0) continue;
    if (n == 0) return sawByte ? HeadResult::Failed : HeadResult::Closed;
    if (timedOut_) return HeadResult::TimedOut;
    return sawByte ? HeadResult::Failed : HeadResult::Closed;
  }
}

bool Connection::WaitForRequest(int milliseconds) {
  if (begin_ < end_) return true;
  if (gone_) return false;
  return WaitReadable(socket_.Get(), milliseconds) == 1;
}

int64_t Connection::ReadSome(uint8_t* dst, int64_t max, int timeoutMs) {
  if (max <= 0) return 0;
  if (begin_ < end_) {
    const int64_t n = std::min<int64_t>(max, static_cast<int64_t>(end_ - begin_));
    std::memcpy(dst, buffer_.data() + begin_, static_cast<size_t>(n));
    begin_ += static_cast<size_t>(n);
    return n;
  }
  if (gone_) return -1;
  if (timeoutMs < ioTimeoutMs_) {
    const int ready = WaitReadable(socket_.Get(), timeoutMs);
    if (ready == 0) return 0;
    if (ready < 0) {
      gone_ = true;
      return -1;
    }
  }
  const int n =
      recv(socket_.Get(), reinterpret_cast<char*>(dst), static_cast<int>(std::min(max, kMaxIo)), 0);
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAETIMEDOUT) return 0;
  if (n <= 0) {
    gone_ = true;
    return -1;
  }
  lastReceive_ = Clock::now();
  return n;
}

bool Connection::SendAll(const uint8_t* data, size_t size) {
  return SendAll(std::string_view(reinterpret_cast<const char*>(data), size));
}

bool Connection::SendAll(std::string_view data) {
  while (!data.empty()) {
    if (gone_) return false;
    const int n =
        send(socket_.Get(), data.data(),
             static_cast<int>(std::min<int64_t>(static_cast<int64_t>(data.size()), kMaxIo)), 0);
    if (n <= 0) {
      gone_ = true;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Connection::Alive() {
  if (gone_ || expired_) return false;
  if (begin_ < end_) return true;
  // Bytes came in a moment ago: the client was there. A page checks before
  // every chunk it reads, and under Wine each probe costs a round trip to
  // the server process; a hang-up in between shows at the next read.
  if (Clock::now() - lastReceive_ < kFreshReceive) return true;
  const int ready = WaitReadable(socket_.Get(), 0);
  if (ready < 0) {
    gone_ = true;
    return false;
  }
  if (ready == 0) return true;
  // Readable: either bytes are waiting (the client is there) or the
  // connection has ended (0) or failed.
  char probe = 0;
  const int n = recv(socket_.Get(), &probe, 1, MSG_PEEK);
  if (n > 0) return true;
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return true;
  gone_ = true;
  return false;
}

UniqueSocket Connection::TakeSocket() noexcept {
  if (gone_) socket_.Reset();
  gone_ = true;
  return std::move(socket_);
}

}  // namespace kvserve
