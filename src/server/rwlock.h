// A multi-reader/single-writer lock whose writer may take it again (the
// shutdown walk over the factories removes each factory while it holds the
// write side).
#pragma once

#include <windows.h>

namespace kvp {

class TMultiReadExclusiveWrite {
 public:
  TMultiReadExclusiveWrite() = default;
  TMultiReadExclusiveWrite(const TMultiReadExclusiveWrite&) = delete;
  TMultiReadExclusiveWrite& operator=(const TMultiReadExclusiveWrite&) = delete;

  void BeginRead() { AcquireSRWLockShared(&lock_); }
  void EndRead() { ReleaseSRWLockShared(&lock_); }
  void BeginWrite() {
    const DWORD self = GetCurrentThreadId();
    if (writer_ == self) {
      ++depth_;
      return;
    }
    AcquireSRWLockExclusive(&lock_);
    writer_ = self;
    depth_ = 1;
  }
  void EndWrite() {
    if (--depth_ > 0) return;
    writer_ = 0;
    ReleaseSRWLockExclusive(&lock_);
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  volatile DWORD writer_ = 0;  // only compared with the caller's own id
  int depth_ = 0;
};

class ReadLock {
 public:
  explicit ReadLock(TMultiReadExclusiveWrite& l) : l_(l) { l_.BeginRead(); }
  ~ReadLock() { l_.EndRead(); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  TMultiReadExclusiveWrite& l_;
};

class WriteLock {
 public:
  explicit WriteLock(TMultiReadExclusiveWrite& l) : l_(l) { l_.BeginWrite(); }
  ~WriteLock() { l_.EndWrite(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  TMultiReadExclusiveWrite& l_;
};

}  // namespace kvp
