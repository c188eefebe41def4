#include "bodypace.h"

#include <algorithm>

namespace kvserve {

BodyPace::BodyPace(int64_t minRate, int64_t graceMs, int64_t maxWaitMs) noexcept
    : minRate_(std::max<int64_t>(minRate, 0)),
      graceMs_(std::max<int64_t>(graceMs, 0)),
      maxWaitMs_(std::max<int64_t>(maxWaitMs, 0)) {}

int64_t BodyPace::WaitAllowedMs() const noexcept {
  if (minRate_ == 0) return maxWaitMs_;
  // Bytes are below 2^31 and the rate at least 1: no overflow.
  const int64_t earnedMs = bytes_ * 1000 / minRate_;
  const int64_t left = graceMs_ + earnedMs - waitedMs_;
  return std::clamp<int64_t>(left, 0, maxWaitMs_);
}

void BodyPace::Waited(int64_t ms, int64_t bytes) noexcept {
  waitedMs_ += std::max<int64_t>(ms, 0);
  bytes_ += std::max<int64_t>(bytes, 0);
}

}  // namespace kvserve
