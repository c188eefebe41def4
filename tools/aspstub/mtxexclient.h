// The host's side of the stand-in mtxex.dll: loading it from the folder of
// the running program, and setting the calling thread's object context.
//
// Once loaded the DLL stays loaded until the process ends: the component
// looks for it once and keeps the address of its GetObjectContext.
#pragma once

#include "mtxexapi.h"

namespace kvstub {

// Loads mtxex.dll from the program's own folder (once; later calls answer
// the first outcome). S_OK, or the failure as an HRESULT.
HRESULT LoadMtxex();

// The calling thread's current context through the DLL's GetObjectContext.
HRESULT ThreadContext(IObjectContext** context);
// Sets (null: clears) the calling thread's current context.
HRESULT SetThreadContext(IObjectContext* context);

// The calling thread's context for the length of a scope; the thread has none
// afterwards.
class ContextScope {
 public:
  explicit ContextScope(IObjectContext* context) : status_(SetThreadContext(context)) {}
  ~ContextScope() { SetThreadContext(nullptr); }
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;
  HRESULT Status() const noexcept { return status_; }

 private:
  HRESULT status_;
};

}  // namespace kvstub
