// File items: the names, type, size and bytes of each uploaded file. Their
// texts are handed out in the CodePage setting's code page.

#include <cstring>

#include "../engine/process.h"
#include "../server/ansitext.h"

namespace kvp {

namespace {

// The parts of item's client file name, read in codePage: split as wide text,
// where every character is one unit whatever the code page.
template <typename Part>
BSTR NamePart(const TFileText& item, UINT codePage, Part part) {
  const std::wstring localName = ToWideString(item.LocalName, codePage);
  return ToBstr(part(SplitClientName<wchar_t>(localName)));
}

}  // namespace

size_t Tprocess::FileItem(LONG index) const {
  if (index < 0 || index > FFileCount - 1)
    throw EIndexError("Index out of range or no file uploaded.");
  return static_cast<size_t>(index);
}

HRESULT Tprocess::get_FileQty(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FFileCount; });
}

HRESULT Tprocess::get_FileName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TFileText item = FileText(FileItem(Index));
    if (FCodePage == CP_ACP) return ToBstr(item.FileName);
    return NamePart(item, FCodePage, [](const auto& parts) { return parts.fileName; });
  });
}

HRESULT Tprocess::get_LocalName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return BodyText(FileText(FileItem(Index)).LocalName); });
}

HRESULT Tprocess::get_Extension(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TFileText item = FileText(FileItem(Index));
    if (FCodePage == CP_ACP) return ToBstr(item.Extension);
    return NamePart(item, FCodePage, [](const auto& parts) { return parts.extension; });
  });
}

HRESULT Tprocess::get_ContentType(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return BodyText(FileText(FileItem(Index)).ContentType); });
}

HRESULT Tprocess::get_NameOnly(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TFileText item = FileText(FileItem(Index));
    if (FCodePage == CP_ACP) return ToBstr(item.NameOnly);
    return NamePart(item, FCodePage, [](const auto& parts) { return parts.nameOnly; });
  });
}

// NewName is the bare name of the file saving wrote, kept as the page's own
// wide text: it needs no conversion, whatever the setting.
HRESULT Tprocess::get_NewName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(NewName(FileItem(Index))); });
}

HRESULT Tprocess::get_FileSize(LONG Index, LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = static_cast<LONG>(FFiles[FileItem(Index)].DataSize); });
}

// A new array on every call: one allocation, one copy of the item's bytes.
HRESULT Tprocess::get_FileData(LONG Index, VARIANT* Value) {
  if (!Value) return E_POINTER;
  VariantInit(Value);
  return Guard([&] {
    const size_t index = FileItem(Index);
    const auto size = static_cast<ULONG>(FFiles[index].DataSize);
    SafeArray array(SafeArrayCreateVector(VT_UI1, 1, size));
    if (!array) throw EVariantArrayCreateError("Error creating variant array");
    {
      SafeArrayLock lock(array.Get());
      if (!lock.Locked()) throw EVariantArrayCreateError("Error creating variant array");
      ReadFileBytes(index, 0, lock.Data(), size);
    }
    Value->vt = VT_ARRAY | VT_UI1;
    Value->parray = array.Detach();
  });
}

}  // namespace kvp
