#include "process.h"

#include "../server/ansitext.h"

namespace kvp {

void Tprocess::Initialize() {
  InitState();
  ReadRequest();
}

// There is no size limit on uploads: MaxKB is accepted and ignored, and its
// read leaves the caller's variable as it was.
HRESULT Tprocess::get_MaxKB(long*) { return S_OK; }
HRESULT Tprocess::put_MaxKB(long) { return S_OK; }

HRESULT Tprocess::get_Status(long* value) {
  if (!value) return E_POINTER;
  *value = FStatus;
  return S_OK;
}

HRESULT Tprocess::get_TotalBytes(long* value) {
  if (!value) return E_POINTER;
  *value = FTotalBytes;
  return S_OK;
}

HRESULT Tprocess::get_OverwriteMode(long* value) {
  if (!value) return E_POINTER;
  *value = FOverwriteMode;
  return S_OK;
}

HRESULT Tprocess::put_OverwriteMode(long value) {
  FOverwriteMode = (value == 1 || value == 2) ? static_cast<uint8_t>(value) : 0;
  return S_OK;
}

HRESULT Tprocess::get_OverwriteChr(BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  *value = ToBstr(FOverwriteChr);
  return S_OK;
}

HRESULT Tprocess::put_OverwriteChr(BSTR value) {
  FOverwriteChr = ToAnsi(value);
  return S_OK;
}

// The body is read once, at creation.
HRESULT Tprocess::Read() { return S_OK; }

}  // namespace kvp
