// The file-system utilities a page needs around an upload. File names are
// taken as the script's wide text and reach the wide Windows functions
// unchanged.

#include "../engine/process.h"
#include "../server/ansitext.h"
#include "../server/oleerror.h"
#include "fileio.h"
#include "pathrules.h"
#include "textfile.h"

#include <algorithm>
#include <memory>
#include <new>

namespace kvp {

namespace {
constexpr const char* kVersionText = "kvParcelin 1.3F by Kelvarion, June 2005.";
}  // namespace

// Writes the whole raw request body, as read, to a file. Bytes an interrupted
// read never filled are zeros.
HRESULT Tprocess::DumpHeader(BSTR FileName) {
  return Guard([&] {
    const TBodySource& body = RequestBody();
    WriteBodyToFile(WideText(FileName), body, 0, body.Size());
  });
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

// Reading the source is reported; writing the copy is not. The source is
// copied through a buffer of at most kCopyPiece bytes, and a source that
// fits in it is read whole before the copy is created.
HRESULT Tprocess::Copy(BSTR OldName, BSTR NewName) {
  return Guard([&] {
    const std::wstring source = WideText(OldName);
    if (!FileExists(source)) return;
    FileHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in.Valid()) throw EFOpenError("Cannot open file " + ToAnsi(source));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(in.Get(), &size)) throw EReadError("Stream read error");
    const int64_t total = size.QuadPart;
    const auto pieceSize = static_cast<size_t>(std::min(total, kCopyPiece));
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[pieceSize ? pieceSize : 1]);
    if (!piece) throw EStreamError("Out of memory while expanding memory stream");
    const auto readPiece = [&](int64_t n) {
      DWORD got = 0;
      if (n > 0 && (!ReadFile(in.Get(), piece.get(), static_cast<DWORD>(n), &got, nullptr) ||
                    got != static_cast<DWORD>(n)))
        throw EReadError("Stream read error");
    };
    int64_t n = std::min<int64_t>(total, kCopyPiece);
    readPiece(n);
    // Read whole: closed before the copy is made, so that a copy onto its
    // own name rewrites the same content.
    if (n == total) in.Close();
    const std::wstring target = WideText(NewName);
    if (HasEmbeddedNul(target)) return;
    // The copy is best effort: a target that cannot be created or written is
    // ignored.
    FileHandle out(CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.Valid()) return;
    for (int64_t done = 0;;) {
      DWORD written = 0;
      if (n > 0 && (!WriteFile(out.Get(), piece.get(), static_cast<DWORD>(n), &written, nullptr) ||
                    written != static_cast<DWORD>(n)))
        return;
      done += n;
      if (done >= total) return;
      n = std::min(total - done, kCopyPiece);
      try {
        readPiece(n);
      } catch (const EReadError&) {
        // Half a copy is no copy.
        out.Close();
        DeleteFileW(target.c_str());
        throw;
      }
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
