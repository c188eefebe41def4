// Where a normalised request path leads in the site's folder: the file or
// folder opened, its real full name (as the file system reports it for the
// open handle, so that links, short names and case variants are judged by
// the name they really have), and whether it is inside the root.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sitepath.h"

namespace kvserve {

// Owns a file handle.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.handle_;
      other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE Get() const noexcept { return handle_; }
  explicit operator bool() const noexcept {
    return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr;
  }
  void Reset() noexcept {
    if (*this) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// UTF-8 <-> UTF-16. Bytes that are not UTF-8 are read in the ANSI code page.
std::wstring Widen(const std::string& text);
std::string Utf8(const std::wstring& text);

// The site's root folder.
class SiteRoot {
 public:
  // Opens the folder (a Unix path under Wine is taken as such). Empty
  // error: ready.
  explicit SiteRoot(const std::wstring& folder);
  const std::wstring& Error() const noexcept { return error_; }
  // The folder's real full name, e.g. Z:\tmp\site.
  const std::wstring& Path() const noexcept { return path_; }

  struct Entry {
    enum class Kind { File, Folder, Missing, Forbidden };
    Kind kind = Kind::Missing;
    UniqueHandle handle;    // File: open for reading
    std::wstring path;      // real full name
    std::string extension;  // of the real name, lower case with its dot
    uint64_t size = 0;
    FILETIME modified{};
    std::string why;  // Forbidden / Missing: for the log
  };
  // Opens what the segments name.
  Entry Open(const std::vector<std::string>& segments) const;

 private:
  std::wstring path_;
  std::wstring error_;
};

// The real full name of an open file or folder, without "\\?\"; empty on
// failure.
std::wstring FinalPath(HANDLE handle);

}  // namespace kvserve
