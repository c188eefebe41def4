#include "uploadstate.h"

namespace kvp {

void TUploadState::InitState() {
  FVars = std::make_unique<TStringList>();
  FFileCount = 0;
  FStatus = 0;
  FBody = std::make_unique<TMemoryStream>();
  FOverwriteMode = 0;
  FTotalBytes = 0;
  FOverwriteChr = L"~";
}

void TUploadState::FreeState() noexcept {
  FBody.reset();
  FVars.reset();
  FFiles.clear();
  FFileCount = 0;
  FNewNames.clear();
  FParsedBody = nullptr;
}

std::span<const uint8_t> TUploadState::FileBytes(size_t index) const noexcept {
  const TFileRecord& item = FFiles[index];
  return {FParsedBody->Memory() + item.DataAt, item.DataSize};
}

std::wstring_view TUploadState::NewName(size_t index) const noexcept {
  const auto found = FNewNames.find(index);
  return found == FNewNames.end() ? std::wstring_view() : std::wstring_view(found->second);
}

void TUploadState::SetNewName(size_t index, std::wstring name) {
  FNewNames[index] = std::move(name);
}

}  // namespace kvp
