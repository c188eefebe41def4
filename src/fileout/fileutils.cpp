// The file-system utilities a page needs around an upload. File names are
// taken as the script's wide text and reach the wide Windows functions
// unchanged.

#include "../engine/process.h"
#include "../server/ansitext.h"
#include "../server/oleerror.h"
#include "fileio.h"
#include "pathrules.h"
#include "textfile.h"

namespace kvp {

namespace {
constexpr const char* kVersionText = "kvParcelin 1.3F by Kelvarion, June 2005.";
}  // namespace

// Writes the whole raw request body, as read, to a file. Bytes an interrupted
// read never filled are zeros.
HRESULT Tprocess::DumpHeader(BSTR FileName) {
  return Guard([&] { WriteBufferToFile(WideText(FileName), FBody->Memory(), FBody->Size()); });
}

HRESULT Tprocess::get_Version(BSTR* Value) {
  return TextMember(Value, [] { return ToBstr(kVersionText); });
}

HRESULT Tprocess::get_FileExists(BSTR FileName, VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FileExists(WideText(FileName)) ? VARIANT_TRUE : VARIANT_FALSE; });
}

// The folder of the running page, with a trailing "\". A path with no folder
// part gives the empty text.
HRESULT Tprocess::get_CurrentDir(BSTR* Value) {
  return TextMember(Value, [&]() -> BSTR {
    ComPtr<IRequestDictionary> variables;
    CheckHost(Request()->get_ServerVariables(variables.Put()));
    if (!variables) throw Exception("Interface not supported");
    Variant key;
    key->vt = VT_BSTR;
    key->bstrVal = SysAllocString(L"PATH_TRANSLATED");
    if (!key->bstrVal) throw EOutOfMemory("Out of memory");
    Variant item;
    CheckHost(variables->get_Item(*key.Get(), item.Get()));
    // Servers hand out the value as a string-list object whose default
    // property is the text; the conversion asks for it.
    Variant text;
    CheckStatus(VariantChangeType(text.Get(), item.Get(), 0, VT_BSTR));
    std::wstring dir(ExtractFileDir(std::wstring_view(WideText(text->bstrVal))));
    if (dir.empty()) return nullptr;
    if (dir.back() != L'\\') dir.push_back(L'\\');
    return ToBstr(std::wstring_view(dir));
  });
}

// Text work only: the path up to the last "\" before its final character.
HRESULT Tprocess::get_ParentDir(BSTR Path, BSTR* Value) {
  return TextMember(Value, [&]() -> BSTR {
    const std::wstring_view path =
        Path ? std::wstring_view(Path, SysStringLen(Path)) : std::wstring_view();
    size_t keep = path.size();
    if (path.size() > 2) {
      for (size_t i = path.size() - 1; i-- > 0;) {
        if (path[i] == L'\\') {
          if (i >= 1) keep = i + 1;
          break;
        }
      }
    }
    if (keep == 0) return nullptr;
    BSTR out = SysAllocStringLen(path.data(), static_cast<UINT>(keep));
    if (!out) throw EOutOfMemory("Out of memory");
    return out;
  });
}

// The line is written in the object's code page (the CodePage setting).
HRESULT Tprocess::AppendToFile(BSTR FileName, BSTR NewLine) {
  return Guard([&] { AppendLineToFile(WideText(FileName), ToAnsi(NewLine, FCodePage)); });
}

// Reading the source is reported; writing the copy is not.
HRESULT Tprocess::Copy(BSTR OldName, BSTR NewName) {
  return Guard([&] {
    const std::wstring source = WideText(OldName);
    if (!FileExists(source)) return;
    TMemoryStream content;
    {
      FileHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!in.Valid()) throw EFOpenError("Cannot open file " + ToAnsi(source));
      LARGE_INTEGER size{};
      if (!GetFileSizeEx(in.Get(), &size)) throw EReadError("Stream read error");
      if (size.QuadPart > 0x7FFFFFFF)
        throw EStreamError("Out of memory while expanding memory stream");
      content.SetSize(size.QuadPart);
      DWORD got = 0;
      if (size.QuadPart > 0 && (!ReadFile(in.Get(), content.WritableMemory(),
                                          static_cast<DWORD>(size.QuadPart), &got, nullptr) ||
                                got != static_cast<DWORD>(size.QuadPart)))
        throw EReadError("Stream read error");
    }
    try {
      WriteBufferToFile(WideText(NewName), content.Memory(), content.Size());
    } catch (const Exception&) {
      // The copy is best effort: a target that cannot be written is ignored.
    }
  });
}

HRESULT Tprocess::Delete(BSTR FileName) {
  return Guard([&] {
    const std::wstring name = WideText(FileName);
    if (!HasEmbeddedNul(name)) DeleteFileW(name.c_str());
  });
}

HRESULT Tprocess::Rename(BSTR OldName, BSTR NewName) {
  return Guard([&] {
    const std::wstring from = WideText(OldName);
    const std::wstring to = WideText(NewName);
    if (!HasEmbeddedNul(from) && !HasEmbeddedNul(to)) MoveFileW(from.c_str(), to.c_str());
  });
}

}  // namespace kvp
