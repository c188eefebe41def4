// A request body kept on disk instead of in memory: a temporary file made
// for one upload object, created new under a name no one can guess, opened
// for this object alone, and deleted by the system when it is closed, also
// when the process dies. It grows only as bytes arrive; what was announced
// but never came reads as zeros.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bodysource.h"

namespace kvp {

class TSpoolFile final : public TBodySource {
 public:
  // A new spool file in folder (empty: the system's temporary folder) for a
  // body of size bytes. Raises EFCreateError when it cannot be created.
  TSpoolFile(const std::wstring& folder, int64_t size);
  ~TSpoolFile();
  TSpoolFile(const TSpoolFile&) = delete;
  TSpoolFile& operator=(const TSpoolFile&) = delete;

  int64_t Size() const noexcept override { return size_; }
  const uint8_t* Memory() const noexcept override { return nullptr; }
  void ReadAt(int64_t offset, void* buffer, int64_t count) const override;

  // Takes count bytes after those taken so far, never past Size(). They are
  // gathered into pieces of kSpoolPiece bytes, and each full piece is
  // written. Raises EWriteError when the file takes fewer (a full disk).
  void Append(const void* data, int64_t count);
  // Writes what is gathered and frees the piece's memory.
  void Flush();
  // The bytes taken, written or gathered; ReadAt reads both.
  int64_t Written() const noexcept { return stored_ + gathered_; }

  // The file's full name, for messages and tests.
  const std::wstring& Name() const noexcept { return name_; }

 private:
  // One positional write or read of at most count bytes at offset; how many
  // moved, 0 on failure. The platform's own part.
  int64_t WriteSome(const uint8_t* data, int64_t count, int64_t offset);
  int64_t ReadSome(uint8_t* out, int64_t count, int64_t offset) const;
  // Writes count bytes after those stored.
  void Store(const uint8_t* data, int64_t count);
  // Writes the gathered piece.
  void StorePiece();

  intptr_t file_;  // the handle (Windows) or descriptor
  std::wstring name_;
  const int64_t size_;
  int64_t stored_ = 0;  // on disk
  std::unique_ptr<uint8_t[]> piece_;
  int64_t gathered_ = 0;  // in piece_, after the stored bytes
};

// A write a chunk costs more than copying the chunk: the spool file is
// written a piece of this size at a time.
constexpr int64_t kSpoolPiece = int64_t{1} << 20;

}  // namespace kvp
