// What an upload object knows of its request: the body, the file items and
// form variables parsed from it, and the two saving settings. Portable; the
// automation object (process.h) builds on it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "memstream.h"
#include "stringlist.h"

namespace kvp {

// One uploaded file.
struct TFileRecord {
  std::string FileName;                 // the client's name without folders
  std::string LocalName;                // the filename attribute exactly as sent
  std::string Extension;                // after the last ".", without it
  std::string ContentType;              // the declared type
  std::string NameOnly;                 // FileName without "." and Extension
  std::wstring NewName;                 // set by saving with numbered names, as written
  std::unique_ptr<TMemoryStream> Data;  // the file's bytes (a view into the body)
};

// A deque: items never move, and growing never holds two copies of the list.
using TFiles = std::deque<TFileRecord>;

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
  // Frees the body, the variables, every item's bytes (last first) and the tag
  // names, in this order.
  void FreeState() noexcept;

  // Parses body (held whole, positioned anywhere) into FFiles, FFileCount,
  // FTagNames, FVars and FStatus, which must be as InitState left them.
  void ParseBody(TMemoryStream& body, IClientProbe& probe);

  int32_t FStatus = 0;
  int32_t FFileCount = 0;
  TFiles FFiles;
  std::unique_ptr<TStringList> FVars;
  std::unique_ptr<TMemoryStream> FBody;
  uint8_t FOverwriteMode = 0;
  int32_t FTotalBytes = 0;
  std::unique_ptr<TStringList> FTagNames;
  std::string FOverwriteChr = "~";
};

// The text of the line at start (every CR and LF left out) and its length in
// bytes, CR and LF included. Leaves the stream just after the line. At or
// beyond the end: empty text and length 0, stream untouched.
void ReadLine(TMemoryStream& stream, int64_t start, std::string& text, int64_t& length);

}  // namespace kvp
