// How long the server may still wait for the bytes of a request body. A
// client may be slow at first (the grace period), but afterwards the time
// spent waiting for it must stay within what the bytes it has sent are worth
// at the minimum rate. Only the time spent waiting for the client counts: a
// page that works a while between two reads does not use up its client's
// allowance. A client that trickles a byte every few seconds runs out of it
// soon after the grace period.
// No Windows header: the rule is plain arithmetic, in milliseconds.
#pragma once

#include <cstdint>

namespace kvserve {

class BodyPace {
 public:
  // minRate: bytes per second, 0 for no minimum; graceMs: waiting allowed on
  // top of what the bytes earn; maxWaitMs: the longest single wait, whatever
  // the allowance.
  BodyPace(int64_t minRate, int64_t graceMs, int64_t maxWaitMs) noexcept;

  // How long the next wait for bytes may last; 0: the allowance is used up.
  int64_t WaitAllowedMs() const noexcept;
  // A wait that took ms and brought bytes (0: none came).
  void Waited(int64_t ms, int64_t bytes) noexcept;
  bool Exhausted() const noexcept { return WaitAllowedMs() == 0; }

  int64_t WaitedMs() const noexcept { return waitedMs_; }
  int64_t Bytes() const noexcept { return bytes_; }
  int64_t MinRate() const noexcept { return minRate_; }
  int64_t GraceMs() const noexcept { return graceMs_; }

 private:
  int64_t minRate_;
  int64_t graceMs_;
  int64_t maxWaitMs_;
  int64_t waitedMs_ = 0;
  int64_t bytes_ = 0;
};

}  // namespace kvserve
