// The file operations saving and the utilities share: the existence test and
// writing a buffer to a named file. Names are the script's own wide text and
// reach the wide Windows functions as they are, so that every character
// survives; messages carry them in their ANSI form.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "../engine/bodysource.h"

namespace kvp {

// True when the name would reach the file system as another name: an
// embedded NUL cuts it short there.
bool HasEmbeddedNul(std::string_view name) noexcept;
bool HasEmbeddedNul(std::wstring_view name) noexcept;

// A name exists when the platform's directory search finds an entry for it
// that is not a directory. Wildcards match as patterns; the first entry found
// decides.
bool FileExists(const std::wstring& name) noexcept;

// How writing a buffer to a name treats a file of that name.
enum class CreateMode {
  Replace,   // create, replacing any file of that name
  CreateNew  // create only if absent
};

// Outcome of WriteBodyToFile when the mode is CreateNew and the name is
// taken by the time the file is created.
enum class WriteOutcome { Written, NameTaken };

// Writes count bytes of body, from offset on, to a new file of that name (no
// sharing while open, normal attributes). A body in memory goes in one
// write; a body on disk is copied through a buffer of kCopyPiece bytes,
// taken before the file is created. Raises EFCreateError "Cannot create file
// <name>" when the file cannot be created, EWriteError "Stream write error"
// when it takes fewer bytes than given (it then stays with what was
// written), and EReadError "Stream read error" when the body cannot be read.
// With CreateMode::CreateNew, a name that exists already is left alone and
// reported as NameTaken.
WriteOutcome WriteBodyToFile(const std::wstring& name, const TBodySource& body, int64_t offset,
                             int64_t count, CreateMode mode = CreateMode::Replace);

// The most bytes a copy from disk to disk holds at once.
constexpr int64_t kCopyPiece = int64_t{1} << 20;

// Owns a file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) noexcept : h_(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }
  void Reset(HANDLE h) noexcept {
    Close();
    h_ = h;
  }
  HANDLE Get() const noexcept { return h_; }
  bool Valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  // Closes now; false when the platform reports a failure.
  bool Close() noexcept {
    if (!Valid()) return true;
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok != FALSE;
  }

 private:
  HANDLE h_;
};

}  // namespace kvp
