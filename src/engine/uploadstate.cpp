#include "uploadstate.h"

namespace kvp {

void TUploadState::InitState() {
  FVars = std::make_unique<TStringList>();
  FFileCount = 0;
  FStatus = 0;
  FBody = std::make_unique<TMemoryStream>();
  FOverwriteMode = 0;
  FTotalBytes = 0;
  FTagNames = std::make_unique<TStringList>();  // compares ignoring case
  FOverwriteChr = "~";
}

void TUploadState::FreeState() noexcept {
  FBody.reset();
  FVars.reset();
  // Last item first; the count follows the streams down to 0.
  for (size_t i = FFiles.size(); i-- > 0;) {
    FFiles[i].Data.reset();
    if (FFileCount > 0) --FFileCount;
  }
  FTagNames.reset();
}

}  // namespace kvp
