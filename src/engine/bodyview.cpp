#include "bodyview.h"

#include <algorithm>

namespace kvp {

TBodyView::TBodyView(const TBodySource& body, int64_t window)
    : body_(body),
      memory_(body.Memory()),
      size_(body.Size()),
      window_(std::max<int64_t>(window, 1)) {}

void TBodyView::Widen(int64_t window) {
  if (window <= window_) return;
  held_.reset();
  heldSize_ = 0;
  window_ = window;
}

std::span<const uint8_t> TBodyView::Held(int64_t at, int64_t end, int64_t want) {
  end = std::min(end, size_);
  if (at < 0 || at >= end) return {};
  want = std::min({want, end - at, window_});
  const int64_t heldEnd = heldAt_ + heldSize_;
  if (at < heldAt_ || heldEnd - at < want) {
    // Refill from at: a forward walk then reads every byte once.
    if (!held_) held_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(window_));
    heldSize_ = 0;
    const int64_t count = std::min(window_, size_ - at);
    body_.ReadAt(at, held_.get(), count);
    heldAt_ = at;
    heldSize_ = count;
  }
  const int64_t stop = std::min(end, heldAt_ + heldSize_);
  return {held_.get() + (at - heldAt_), static_cast<size_t>(stop - at)};
}

}  // namespace kvp
