// Saving uploaded files under the three overwrite modes:
//   0  write the target, replacing a file of that name;
//   1  write the target only if no file has that name;
//   2  write the target if free, else the first free numbered name
//      (stem, OverwriteChr, number, extension; numbering.cpp finds it).
// A name that is to be kept is never overwritten: modes 1 and 2 create their
// files only if absent, in one step, so that two requests saving the same name
// at once cannot both write it.

#include <string>

#include "../engine/process.h"
#include "../server/ansitext.h"
#include "fileio.h"
#include "numbering.h"
#include "pathrules.h"

namespace kvp {

namespace {

// The bytes of one file item, as they lie in the body.
struct Item {
  const TBodySource& body;
  const TFileRecord& record;
};

WriteOutcome WriteItem(const Item& item, const std::wstring& name, CreateMode mode) {
  return WriteBodyToFile(name, item.body, item.record.DataAt, item.record.DataSize, mode);
}

}  // namespace

HRESULT Tprocess::FileSave(BSTR FileName, LONG Index) {
  return Guard([&] {
    const size_t index = FileItem(Index);
    const Item item{ParsedBody(), FFiles[index]};
    // The name as the script wrote it: no character is lost on the way. One
    // with a NUL is refused where a file is created.
    const std::wstring target = WideText(FileName);
    switch (FOverwriteMode) {
      case 1:
        if (!FileExists(target)) WriteItem(item, target, CreateMode::CreateNew);
        break;
      case 2: {
        std::wstring written = target;
        if (FileExists(target) ||
            WriteItem(item, target, CreateMode::CreateNew) == WriteOutcome::NameTaken)
          written = WriteUnderFreeNumber(target, FOverwriteChr, [&](const std::wstring& name) {
            return WriteItem(item, name, CreateMode::CreateNew);
          });
        // The bare name of the file actually written.
        SetNewName(index, std::wstring(ExtractFileName(written, Separators::WindowsAndSlash)));
        break;
      }
      default:
        WriteItem(item, target, CreateMode::Replace);
        break;
    }
  });
}

}  // namespace kvp
