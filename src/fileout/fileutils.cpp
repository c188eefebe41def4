// The file-system utilities.

#include "../engine/process.h"

namespace kvp {

HRESULT Tprocess::DumpHeader(BSTR) { return E_NOTIMPL; }
HRESULT Tprocess::get_Version(BSTR* Value) {
  if (Value) *Value = nullptr;
  return E_NOTIMPL;
}
HRESULT Tprocess::get_FileExists(BSTR, VARIANT_BOOL*) { return E_NOTIMPL; }
HRESULT Tprocess::get_CurrentDir(BSTR* Value) {
  if (Value) *Value = nullptr;
  return E_NOTIMPL;
}
HRESULT Tprocess::get_ParentDir(BSTR, BSTR* Value) {
  if (Value) *Value = nullptr;
  return E_NOTIMPL;
}
HRESULT Tprocess::AppendToFile(BSTR, BSTR) { return E_NOTIMPL; }
HRESULT Tprocess::Copy(BSTR, BSTR) { return E_NOTIMPL; }
HRESULT Tprocess::Delete(BSTR) { return E_NOTIMPL; }
HRESULT Tprocess::Rename(BSTR, BSTR) { return E_NOTIMPL; }

}  // namespace kvp
