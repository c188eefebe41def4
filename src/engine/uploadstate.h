// What an upload object knows of its request: the body, the file items and
// form variables parsed from it, and the two saving settings. Portable; the
// automation object (process.h) builds on it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../fileout/pathrules.h"
#include "bodyview.h"
#include "memstream.h"
#include "spoolfile.h"
#include "stringlist.h"

namespace kvp {

// One uploaded file, held as offsets into the body: its names and type are
// read again from the part's header block when a member asks for them, so
// that a body of many small parts costs a few bytes a file, not a few
// strings a file.
struct TFileRecord {
  uint32_t HeadAt = 0;    // the part's first header line
  uint32_t DataAt = 0;    // the file's first byte
  uint32_t DataSize = 0;  // at least 1
};

// A deque: items never move, and growing never holds two copies of the list.
using TFiles = std::deque<TFileRecord>;

// The parts of a client's file name that the file members hand out, by the
// path rules ("\\", ":" and "/" separate folders): its name without folders,
// the extension after the name's last "." (none when the name ends in the
// dot), and the name without "." and extension. Narrow names follow the ANSI
// code page's double-byte rule; a name decoded to wide text needs none.
template <typename Char>
struct TNameParts {
  std::basic_string_view<Char> fileName, extension, nameOnly;
};

template <typename Char>
TNameParts<Char> SplitClientName(std::basic_string_view<Char> localName) {
  TNameParts<Char> parts;
  parts.fileName = ExtractFileName(localName, Separators::WindowsAndSlash);
  parts.nameOnly = parts.fileName;
  const std::basic_string_view<Char> ext =
      ExtractFileExt(parts.fileName, Separators::WindowsAndSlash);
  if (ext.size() > 1) {
    parts.extension = ext.substr(1);
    parts.nameOnly = parts.fileName.substr(0, parts.fileName.size() - ext.size());
  }
  return parts;
}

// What a file record says, as text.
struct TFileText {
  std::string TagName;      // the part's name
  std::string LocalName;    // the filename attribute exactly as sent
  std::string ContentType;  // the declared type
  std::string FileName;     // the client's name without folders
  std::string Extension;    // after the last ".", without it
  std::string NameOnly;     // FileName without "." and Extension
};

// Asked between the lines of the body: false when the client has gone.
class IClientProbe {
 public:
  virtual bool IsClientConnected() = 0;

 protected:
  ~IClientProbe() = default;
};

class TUploadState {
 public:
  TUploadState() = default;
  TUploadState(const TUploadState&) = delete;
  TUploadState& operator=(const TUploadState&) = delete;
  ~TUploadState() { FreeState(); }

  // The fields' values at creation, set in this order.
  void InitState();
  // Frees the body, the variables and the file items, in this order.
  void FreeState() noexcept;

  // Parses body into FFiles, FFileCount, FVars and FStatus, which must be as
  // InitState left them, reading a body that is not in memory through a
  // window of that many bytes. The body must stay as it is while the items
  // are used.
  void ParseBody(const TBodySource& body, IClientProbe& probe, int64_t window = kBodyWindow);

  // The form variables as the names of a code page fold them: for 0 (the
  // ANSI code page) FVars; for another, the parsed parts read again from the
  // body on first use, their names compared as that code page's text, and
  // kept. Valid until the state is freed or three other code pages were
  // asked for since.
  const TStringList& Vars(unsigned codePage);
  // The first file item whose tag name matches tag (text of codePage, as
  // Vars compares it), or -1. The tag names are indexed on first use.
  int32_t TagIndex(std::string_view tag, unsigned codePage);

  // The texts of file item index (below FFiles.size()), read from the body.
  TFileText FileText(size_t index) const;
  // Copies count bytes of file item index, from offset on, into out.
  void ReadFileBytes(size_t index, int64_t offset, void* out, int64_t count) const;
  // The body the items were parsed from.
  const TBodySource& ParsedBody() const noexcept { return *FParsedBody; }
  // The request body as the intake read it: on disk when it was spooled.
  const TBodySource& RequestBody() const noexcept {
    return FSpool ? static_cast<const TBodySource&>(*FSpool) : *FBody;
  }
  // Its tag name alone.
  std::string TagNameOf(size_t index) const;
  // The name saving with numbered names gave file item index, as written;
  // empty until then.
  std::wstring_view NewName(size_t index) const noexcept;
  void SetNewName(size_t index, std::wstring name);

  int32_t FStatus = 0;
  int32_t FFileCount = 0;
  TFiles FFiles;
  std::unique_ptr<TStringList> FVars;
  std::unique_ptr<TMemoryStream> FBody;
  // The request body when it was too large to hold in memory; FBody is then
  // empty.
  std::unique_ptr<TSpoolFile> FSpool;
  uint8_t FOverwriteMode = 0;
  int32_t FTotalBytes = 0;
  std::wstring FOverwriteChr = L"~";
  // The body the items were parsed from (FBody, unless a caller parsed
  // another): they point into it.
  const TBodySource* FParsedBody = nullptr;
  // The window the parse read through.
  int64_t FWindow = kBodyWindow;
  // NewName of the items saved with numbered names, by index.
  std::unordered_map<size_t, std::wstring> FNewNames;
  // The passes (one line each, or one part with its content) that ParseBody
  // did whole before the client went or a failure ended it; -1 when it read
  // to the end. Reading the parts again stops where the parse stopped.
  int64_t FPassesRun = -1;

 private:
  // What one code page makes of the names, built as it is asked for.
  struct TFold {
    unsigned codePage = 0;
    std::unique_ptr<TStringList> vars;  // null for code page 0: FVars
    std::unique_ptr<TStringList> tags;  // tag name = first file item's index
    bool tagsWithEquals = false;        // some tag name holds "=": not indexed
  };
  TFold& FoldOf(unsigned codePage);
  std::vector<TFold> FFolds;  // oldest first
};

// The text of the line at start (every CR and LF left out) and its length in
// bytes, CR and LF included. Leaves the stream just after the line. At or
// beyond the end: empty text and length 0, stream untouched.
void ReadLine(TMemoryStream& stream, int64_t start, std::string& text, int64_t& length);

}  // namespace kvp
