#include "uploadstate.h"

#include <algorithm>
#include <charconv>

#include "../server/exceptions.h"
#include "collation.h"

namespace kvp {

namespace {

// Code pages other than 0 whose folds are kept at once; the oldest goes
// when another is asked for.
constexpr size_t kKeptFolds = 3;

// Answers as the client answered the first parse.
class SameAnswers final : public IClientProbe {
 public:
  explicit SameAnswers(int64_t allowed) : left_(allowed) {}
  bool IsClientConnected() override {
    if (left_ < 0) return true;
    if (left_ == 0) return false;
    --left_;
    return true;
  }

 private:
  int64_t left_;
};

}  // namespace

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
  FFolds.clear();
  FParsedBody = nullptr;
  FPassesRun = -1;
}

TUploadState::TFold& TUploadState::FoldOf(unsigned codePage) {
  for (TFold& fold : FFolds)
    if (fold.codePage == codePage) return fold;
  if (codePage != 0 && std::count_if(FFolds.begin(), FFolds.end(), [](const TFold& f) {
                         return f.codePage;
                       }) >= static_cast<std::ptrdiff_t>(kKeptFolds))
    FFolds.erase(
        std::find_if(FFolds.begin(), FFolds.end(), [](const TFold& f) { return f.codePage != 0; }));
  TFold fold;
  fold.codePage = codePage;
  FFolds.push_back(std::move(fold));
  return FFolds.back();
}

const TStringList& TUploadState::Vars(unsigned codePage) {
  if (codePage == 0) return *FVars;
  TFold& fold = FoldOf(codePage);
  if (fold.vars) return *fold.vars;
  // The parts again, as the first parse met them, into a list of this code
  // page: the same lines, folded by its names. Files and status are the
  // first parse's; only the list is kept.
  TUploadState again;
  again.InitState();
  again.FVars = std::make_unique<TStringList>(codePage);
  if (FParsedBody) {
    SameAnswers answers(FPassesRun);
    again.ParseBody(*FParsedBody, answers, FWindow);
  }
  fold.vars = std::move(again.FVars);
  return *fold.vars;
}

int32_t TUploadState::TagIndex(std::string_view tag, unsigned codePage) {
  TFold& fold = FoldOf(codePage);
  if (!fold.tags) {
    auto tags = std::make_unique<TStringList>(codePage);
    tags->EnableNameIndex();
    bool withEquals = false;
    for (size_t i = 0; i < FFiles.size(); ++i) {
      const std::string name = TagNameOf(i);
      // A line's name ends at its first "=": such a name is looked for
      // one item at a time instead.
      if (name.find('=') != std::string::npos)
        withEquals = true;
      else
        tags->FindOrAdd(name, std::to_string(i));
    }
    fold.tags = std::move(tags);
    fold.tagsWithEquals = withEquals;
  }
  if (tag.find('=') != std::string_view::npos) {
    if (fold.tagsWithEquals)
      for (size_t i = 0; i < FFiles.size(); ++i)
        if (SameText(TagNameOf(i), tag, codePage)) return static_cast<int32_t>(i);
    return -1;
  }
  const int32_t line = fold.tags->IndexOfName(tag);
  if (line < 0) return -1;
  const std::string_view value = fold.tags->ValueFromIndex(line);
  int32_t index = -1;
  std::from_chars(value.data(), value.data() + value.size(), index);
  return index;
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
