#include "uploadstate.h"

#include "../server/exceptions.h"

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
  FSpool.reset();
  FVars.reset();
  FFiles.clear();
  FFileCount = 0;
  FNewNames.clear();
  FParsedBody = nullptr;
}

void TUploadState::ReadFileBytes(size_t index, int64_t offset, void* out, int64_t count) const {
  const TFileRecord& item = FFiles[index];
  if (offset < 0 || count < 0 || count > int64_t{item.DataSize} - offset)
    throw EReadError("Stream read error");
  FParsedBody->ReadAt(int64_t{item.DataAt} + offset, out, count);
}

std::wstring_view TUploadState::NewName(size_t index) const noexcept {
  const auto found = FNewNames.find(index);
  return found == FNewNames.end() ? std::wstring_view() : std::wstring_view(found->second);
}

void TUploadState::SetNewName(size_t index, std::wstring name) {
  FNewNames[index] = std::move(name);
}

}  // namespace kvp
