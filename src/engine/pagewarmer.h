// While a large body arrives from the network, a thread of the system pool
// maps the pages of its buffer ahead of the copy, so that the first write to
// each fresh page (a page fault, dear on some machines) overlaps the waiting
// for the client instead of adding to it.
//
// The buffer's pages are shared out page by page: the helper takes the first
// page nobody has, the copy takes every page below the end of what it is
// about to write and waits while the helper finishes one of them. A page the
// helper takes receives one zero byte, which it held already (the buffer is
// fresh, zero-filled memory): nothing the copy writes is ever touched.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kvp {

class TPageWarmer {
 public:
  // Starts the helper when the buffer is large enough to gain from it and the
  // pool takes the work; otherwise does nothing (Claim is then free).
  TPageWarmer(uint8_t* base, size_t size) noexcept;
  // Stops the helper and waits for it.
  ~TPageWarmer();
  TPageWarmer(const TPageWarmer&) = delete;
  TPageWarmer& operator=(const TPageWarmer&) = delete;

  // Makes bytes [0, end) of the buffer the caller's to write.
  void Claim(size_t end) noexcept;

  bool Running() const noexcept { return work_ != nullptr; }
  // Pages the helper has mapped (for tests).
  size_t PagesWarmed() const noexcept { return warmed_.load(); }

  static constexpr size_t kMinSize = size_t{4} << 20;
  static constexpr size_t kPage = 4096;

 private:
  static void CALLBACK Run(PTP_CALLBACK_INSTANCE, void* self, PTP_WORK) noexcept;
  void Warm() noexcept;

  uint8_t* const base_;
  const size_t pages_;
  std::atomic<size_t> frontier_{0};  // the first page nobody has taken
  std::atomic<ptrdiff_t> busy_{-1};  // the page the helper is on, or -1
  std::atomic<bool> stop_{false};
  std::atomic<size_t> warmed_{0};
  PTP_WORK work_ = nullptr;
};

}  // namespace kvp
