#include "process.h"

#include <string>

#include "../server/ansitext.h"

namespace kvp {

TAutoObject* CreateProcessObject(TAutoObjectFactory* factory, IUnknown* outer) {
  return new Tprocess(factory, outer);
}

void Tprocess::Initialize() {
  TASPMTSObject::Initialize();
  InitState();
  ReadRequest();
}

// There is no size limit on uploads: MaxKB is accepted and ignored, and its
// read leaves the caller's variable as it was.
HRESULT Tprocess::get_MaxKB(LONG*) {
  return Guard([] {});
}
HRESULT Tprocess::put_MaxKB(LONG) {
  return Guard([] {});
}

HRESULT Tprocess::get_Status(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FStatus; });
}

HRESULT Tprocess::get_TotalBytes(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FTotalBytes; });
}

HRESULT Tprocess::get_OverwriteMode(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FOverwriteMode; });
}

HRESULT Tprocess::put_OverwriteMode(LONG Value) {
  return Guard(
      [&] { FOverwriteMode = (Value == 1 || Value == 2) ? static_cast<uint8_t>(Value) : 0; });
}

HRESULT Tprocess::get_OverwriteChr(BSTR* Value) {
  return TextMember(Value, [&] { return ToBstr(FOverwriteChr); });
}

HRESULT Tprocess::put_OverwriteChr(BSTR Value) {
  return Guard([&] { FOverwriteChr = WideText(Value); });
}

HRESULT Tprocess::get_CodePage(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = static_cast<LONG>(FCodePage); });
}

// Only a code page the system converts with is taken; any other value leaves
// the setting as it was.
HRESULT Tprocess::put_CodePage(LONG Value) {
  return Guard([&] {
    if (Value < 0 || Value > 0xFFFF || !IsUsableCodePage(static_cast<UINT>(Value)))
      throw EOleError("Invalid code page " + std::to_string(Value) +
                      ": CodePage takes 0 (the ANSI code page) or a code page this system "
                      "converts with, such as 65001 for UTF-8.");
    FCodePage = static_cast<UINT>(Value);
  });
}

BSTR Tprocess::BodyText(std::string_view text) const {
  return ToBstr(text, FCodePage);
}

// The body is read once, at creation.
HRESULT Tprocess::Read() {
  return Guard([] {});
}

}  // namespace kvp
