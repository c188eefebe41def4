// A slim reader/writer lock in the shapes the standard library's holders
// take: std::lock_guard and std::unique_lock hold it exclusively,
// std::shared_lock shared. It takes no memory, so taking it never fails.
#pragma once

#include <windows.h>

namespace kvp {

class TSlimLock {
 public:
  void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
  void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
  void lock_shared() noexcept { AcquireSRWLockShared(&lock_); }
  void unlock_shared() noexcept { ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace kvp
