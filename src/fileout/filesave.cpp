// Saving uploaded files.

#include "../engine/process.h"

namespace kvp {

HRESULT Tprocess::FileSave(BSTR, LONG) { return E_NOTIMPL; }

}  // namespace kvp
