// One client connection on Winsock: the socket, a small receive buffer of
// fixed size that the request head is read into (the only received bytes a
// connection holds), body reads that go straight to the socket once that
// buffer is empty, writes, and the check whether the client is still there.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvserve {

// Winsock for the process, from construction to destruction.
class WinsockSession {
 public:
  WinsockSession();
  ~WinsockSession();
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  int Status() const noexcept { return status_; }  // 0: ready

 private:
  int status_;
};

// Owns a socket; closes it when destroyed.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(SOCKET socket) noexcept : socket_(socket) {}
  ~UniqueSocket() { Reset(); }
  UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.Release()) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  SOCKET Get() const noexcept { return socket_; }
  explicit operator bool() const noexcept { return socket_ != INVALID_SOCKET; }
  SOCKET Release() noexcept {
    const SOCKET s = socket_;
    socket_ = INVALID_SOCKET;
    return s;
  }
  void Reset(SOCKET socket = INVALID_SOCKET) noexcept;

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

// Waits until the socket can be read (or has failed or closed): 1 ready, 0
// timed out, -1 failed.
int WaitReadable(SOCKET socket, int milliseconds);

class Connection {
 public:
  using Clock = std::chrono::steady_clock;

  // Receive and send timeouts apply to every blocking call afterwards.
  Connection(UniqueSocket socket, std::string peer, int ioTimeoutMs);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& Peer() const noexcept { return peer_; }

  enum class HeadResult { Ready, Closed, TimedOut, TooLarge, Failed };
  // Reads up to the blank line that ends a request head (empty lines before
  // it are skipped) within timeoutMs, and takes the head out of the buffer.
  // Closed: the client closed before sending a byte of it.
  HeadResult ReadHead(std::string& head, size_t maxBytes, int timeoutMs);
  // True when bytes of a next request are buffered or the socket becomes
  // readable within the time.
  bool WaitForRequest(int milliseconds);
  // Whether bytes received were never read since the last head (leftovers of
  // a head read, a pipelined request).
  size_t Buffered() const noexcept { return end_ - begin_; }

  // Up to max bytes, buffered first, else one recv straight into dst once
  // the socket is readable within timeoutMs: >0, 0 when nothing came in
  // time, -1 when the client has gone (closed, reset). A wait as long as the
  // receive timeout is the receive's own (one call instead of two).
  int64_t ReadSome(uint8_t* dst, int64_t max, int timeoutMs);

  // Sends everything (false: the client has gone).
  bool SendAll(std::string_view data);
  bool SendAll(const uint8_t* data, size_t size);

  // False once a read or write failed, once the server has given up on the
  // client (Expire), or when the client has closed or reset the connection
  // (checked without blocking and without taking bytes out of the socket;
  // within 50 ms of a receive the receive is taken as the answer).
  bool Alive();
  bool Gone() const noexcept { return gone_; }

  // The client was too slow: from now on it counts as gone for the page,
  // but the server may still send it a final response.
  void Expire() noexcept { expired_ = true; }
  bool Expired() const noexcept { return expired_; }

  // After the final response: the socket, to be closed gently (Lingerer),
  // or nothing when the client has gone anyway (it is closed now).
  UniqueSocket TakeSocket() noexcept;

 private:
  int64_t Fill(int timeoutMs);  // more bytes into the buffer: >0, 0 closed, -1 failed/timeout
  void Compact();

  UniqueSocket socket_;
  std::string peer_;
  int ioTimeoutMs_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool gone_ = false;
  bool timedOut_ = false;
  bool expired_ = false;
  Clock::time_point lastReceive_{};
};

}  // namespace kvserve
