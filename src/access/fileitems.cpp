// File items: the names, type, size and bytes of each uploaded file. Their
// texts are handed out in the CodePage setting's code page.

#include <cstring>

#include "../engine/process.h"
#include "../server/ansitext.h"

namespace kvp {

namespace {

// The parts of a client's file name that the name members hand out.
struct NameParts {
  std::string_view fileName;   // after the last "\", ":" or "/"
  std::string_view extension;  // after the last "." of fileName, without it
  std::string_view nameOnly;   // fileName without "." and extension
};

// The parser's rules for FileName, Extension and NameOnly applied to
// localName with codePage's lead bytes: a byte that ends a double-byte
// character is never a separator or a dot. UTF-8 and the single-byte code
// pages have no lead bytes, so there every byte counts.
NameParts SplitName(std::string_view localName, UINT codePage) {
  size_t nameStart = 0;
  size_t dot = std::string_view::npos;
  for (size_t i = 0; i < localName.size(); ++i) {
    const char c = localName[i];
    if (c == '\\' || c == ':' || c == '/') {
      nameStart = i + 1;
      dot = std::string_view::npos;
    } else if (c == '.') {
      dot = i;
    } else if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(c)) && i + 1 < localName.size()) {
      ++i;
    }
  }
  NameParts parts;
  parts.fileName = localName.substr(nameStart);
  parts.nameOnly = parts.fileName;
  // A lone dot at the end is no extension.
  if (dot != std::string_view::npos && dot + 1 < localName.size()) {
    parts.extension = localName.substr(dot + 1);
    parts.nameOnly = localName.substr(nameStart, dot - nameStart);
  }
  return parts;
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
    return BodyText(SplitName(item.LocalName, FCodePage).fileName);
  });
}

HRESULT Tprocess::get_LocalName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return BodyText(FileText(FileItem(Index)).LocalName); });
}

HRESULT Tprocess::get_Extension(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TFileText item = FileText(FileItem(Index));
    if (FCodePage == CP_ACP) return ToBstr(item.Extension);
    return BodyText(SplitName(item.LocalName, FCodePage).extension);
  });
}

HRESULT Tprocess::get_ContentType(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] { return BodyText(FileText(FileItem(Index)).ContentType); });
}

HRESULT Tprocess::get_NameOnly(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TFileText item = FileText(FileItem(Index));
    if (FCodePage == CP_ACP) return ToBstr(item.NameOnly);
    return BodyText(SplitName(item.LocalName, FCodePage).nameOnly);
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
