#include "errorinfo.h"

#include "ansitext.h"
#include "exceptions.h"
#include "oleptr.h"

namespace kvp {

namespace {
void SetText(ICreateErrorInfo* builder,
             HRESULT (STDMETHODCALLTYPE ICreateErrorInfo::*setter)(LPOLESTR),
             std::string_view text) {
  std::wstring wide = ToWideString(text);
  (builder->*setter)(wide.data());
}
}  // namespace

HRESULT PublishErrorInfo(const std::exception* thrown, REFIID iid, std::string_view source,
                         std::string_view helpFile) {
  HRESULT status = E_UNEXPECTED;
  ComPtr<ICreateErrorInfo> builder;
  if (FAILED(CreateErrorInfo(builder.Put())) || !builder) return E_UNEXPECTED;
  try {
    builder->SetGUID(iid);
    if (!source.empty()) SetText(builder.Get(), &ICreateErrorInfo::SetSource, source);
    if (!helpFile.empty()) SetText(builder.Get(), &ICreateErrorInfo::SetHelpFile, helpFile);
    if (const auto* e = dynamic_cast<const Exception*>(thrown)) {
      SetText(builder.Get(), &ICreateErrorInfo::SetDescription, e->Message());
      builder->SetHelpContext(static_cast<DWORD>(e->HelpContext()));
      if (const auto* ole = dynamic_cast<const EOleSysError*>(e); ole && ole->ErrorCode() < 0)
        status = ole->ErrorCode();
    }
  } catch (...) {
    // No memory for the texts: publish what was set.
  }
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(builder->QueryInterface(IID_IErrorInfo, info.PutVoid())) && info)
    SetErrorInfo(0, info.Get());
  return status;
}

}  // namespace kvp
