// File items: the names, type, size and bytes of each uploaded file.

#include <cstring>

#include "../engine/process.h"
#include "../server/ansitext.h"

namespace kvp {

TFileRecord& Tprocess::FileItem(LONG index) {
  if (index < 0 || index > FFileCount - 1)
    throw EIndexError("Index out of range or no file uploaded.");
  return FFiles[static_cast<size_t>(index)];
}

HRESULT Tprocess::get_FileQty(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FFileCount; });
}

HRESULT Tprocess::get_FileName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FileItem(Index).FileName); });
}

HRESULT Tprocess::get_LocalName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FileItem(Index).LocalName); });
}

HRESULT Tprocess::get_Extension(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FileItem(Index).Extension); });
}

HRESULT Tprocess::get_ContentType(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FileItem(Index).ContentType); });
}

HRESULT Tprocess::get_NameOnly(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FileItem(Index).NameOnly); });
}

HRESULT Tprocess::get_NewName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(std::wstring_view(FileItem(Index).NewName)); });
}

HRESULT Tprocess::get_FileSize(LONG Index, LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = static_cast<LONG>(FileItem(Index).Data->Size()); });
}

// A new array on every call: one allocation, one copy of the item's bytes.
HRESULT Tprocess::get_FileData(LONG Index, VARIANT* Value) {
  if (!Value) return E_POINTER;
  VariantInit(Value);
  return Guard([&] {
    TMemoryStream& data = *FileItem(Index).Data;
    const auto size = static_cast<ULONG>(data.Size());
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 1, size);
    if (!array) throw EVariantArrayCreateError("Error creating variant array");
    {
      SafeArrayLock lock(array);
      if (!lock.Locked()) {
        SafeArrayDestroy(array);
        throw EVariantArrayCreateError("Error creating variant array");
      }
      data.SetPosition(0);
      data.Read(lock.Data(), data.Size());
    }
    Value->vt = VT_ARRAY | VT_UI1;
    Value->parray = array;
  });
}

}  // namespace kvp
