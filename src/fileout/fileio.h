// The file operations saving and the utilities share: the existence test and
// writing a buffer to a named file. Names are the script's own wide text and
// reach the wide Windows functions as they are, so that every character
// survives; messages carry them in their ANSI form.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

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

// Outcome of WriteBufferToFile when the mode is CreateNew and the name is
// taken by the time the file is created.
enum class WriteOutcome { Written, NameTaken };

// Creates the file (no sharing while open, normal attributes), writes the
// whole buffer in one write and closes it. Raises EFCreateError "Cannot
// create file <name>" when the file cannot be created and EWriteError
// "Stream write error" when fewer bytes are written than the buffer holds (the
// file then stays with what was written). With CreateMode::CreateNew, a name
// that exists already is left alone and reported as NameTaken.
WriteOutcome WriteBufferToFile(const std::wstring& name, const uint8_t* data, int64_t size,
                               CreateMode mode = CreateMode::Replace);

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
