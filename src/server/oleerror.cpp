#include "oleerror.h"

#include <cstdio>

#include "ansitext.h"
#include "oleptr.h"

namespace kvp {

namespace {

std::string SystemMessage(int32_t code) {
  char buffer[256] = {};
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                     static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  return TrimMessageTail(std::string(buffer, n < sizeof buffer ? n : 0));
}

}  // namespace

std::string TrimMessageTail(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.'))
    text.pop_back();
  return text;
}

EOleSysError::EOleSysError(std::string message, int32_t errorCode, int32_t helpContext)
    : EOleError(std::move(message), helpContext), errorCode_(errorCode) {
  if (!Message().empty()) return;
  std::string text = SystemMessage(errorCode);
  if (text.empty()) {
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "OLE error %.8X", static_cast<unsigned>(errorCode));
    text = fallback;
  }
  SetMessage(std::move(text));
}

void CheckStatus(HRESULT status) {
  if (FAILED(status)) throw EOleSysError(std::string(), status);
}

void RaiseFromStatus(HRESULT status) {
  Bstr source, description, helpFile;
  DWORD helpContext = 0;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) {
    info->GetSource(source.Put());
    info->GetDescription(description.Put());
    info->GetHelpFile(helpFile.Put());
    info->GetHelpContext(&helpContext);
  }
  throw EOleException(TrimMessageTail(ToAnsi(description.Get())), status, ToAnsi(source.Get()),
                      ToAnsi(helpFile.Get()), static_cast<int32_t>(helpContext));
}

}  // namespace kvp
