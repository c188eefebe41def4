#include "pagewarmer.h"

namespace kvp {

TPageWarmer::TPageWarmer(uint8_t* base, size_t size) noexcept
    : base_(base), pages_(base ? size / kPage : 0) {
  if (!base || size < kMinSize) return;
  work_ = CreateThreadpoolWork(&TPageWarmer::Run, this, nullptr);
  if (work_) SubmitThreadpoolWork(work_);
}

TPageWarmer::~TPageWarmer() {
  if (!work_) return;
  stop_.store(true);
  WaitForThreadpoolWorkCallbacks(work_, TRUE);  // a helper not yet started never starts
  CloseThreadpoolWork(work_);
}

void CALLBACK TPageWarmer::Run(PTP_CALLBACK_INSTANCE, void* self, PTP_WORK) noexcept {
  static_cast<TPageWarmer*>(self)->Warm();
}

void TPageWarmer::Warm() noexcept {
  size_t page = frontier_.load();
  while (page < pages_ && !stop_.load(std::memory_order_relaxed)) {
    // Announced before taking it: a copy that takes the page after us then
    // sees us on it and waits; one that took it before makes our take fail.
    busy_.store(static_cast<ptrdiff_t>(page));
    if (frontier_.compare_exchange_strong(page, page + 1)) {
      volatile uint8_t* at = base_ + page * kPage;
      *at = 0;
      warmed_.fetch_add(1, std::memory_order_relaxed);
      ++page;
    }
    // On failure page now holds the frontier that the copy has moved on.
    busy_.store(-1);
  }
}

void TPageWarmer::Claim(size_t end) noexcept {
  if (!work_) return;
  const size_t last = (end + kPage - 1) / kPage;  // pages [0, last) are ours
  size_t frontier = frontier_.load();
  while (frontier < last && !frontier_.compare_exchange_weak(frontier, last)) {
  }
  for (;;) {
    const ptrdiff_t busy = busy_.load();
    if (busy < 0 || static_cast<size_t>(busy) >= last) return;
    YieldProcessor();
  }
}

}  // namespace kvp
