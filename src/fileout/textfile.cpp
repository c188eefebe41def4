#include "textfile.h"

#include <algorithm>
#include <cstring>

#include "../server/ansitext.h"
#include "../server/exceptions.h"
#include "fileio.h"

namespace kvp {

namespace {

constexpr size_t kBufferSize = 128;
// Longest name the text-file record holds (260 characters with the
// terminator).
constexpr size_t kMaxName = 259;

[[noreturn]] void RaiseInOut(DWORD code) {
  throw EInOutError(InOutErrorMessage(code), static_cast<int32_t>(code));
}

class BufferedWriter {
 public:
  explicit BufferedWriter(HANDLE file) : file_(file) {}
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t n = std::min(bytes.size(), kBufferSize - used_);
      std::memcpy(buffer_ + used_, bytes.data(), n);
      used_ += n;
      bytes.remove_prefix(n);
      if (used_ == kBufferSize) Flush();
    }
  }
  void Flush() {
    if (used_ == 0) return;
    DWORD written = 0;
    if (!WriteFile(file_, buffer_, static_cast<DWORD>(used_), &written, nullptr))
      RaiseInOut(GetLastError());
    if (written != used_) RaiseInOut(ERROR_DISK_FULL);
    used_ = 0;
  }

 private:
  HANDLE file_;
  char buffer_[kBufferSize];
  size_t used_ = 0;
};

}  // namespace

std::string InOutErrorMessage(unsigned long code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return "I/O error " + std::to_string(code);
  }
}

void AppendLineToFile(const std::wstring& name, std::string_view text) {
  // A NUL would cut the name short in the file system, and a longer name than
  // the record holds would be cut as well: both are refused, with the
  // platform's error number and a message that says why.
  if (HasEmbeddedNul(name))
    throw EInOutError("Invalid filename: the name contains a NUL character", ERROR_INVALID_NAME);
  // Measured as before: the bytes of the name's ANSI form.
  if (ToAnsi(name).size() > kMaxName)
    throw EInOutError("File name too long (more than 259 characters)", ERROR_FILENAME_EXCED_RANGE);
  // Opened or created in one step, then written after its last byte: a test
  // for the name followed by a create that replaces would let two requests
  // that find no file both create it, and the second would cut away the line
  // the first had just written.
  FileHandle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) RaiseInOut(GetLastError());
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(file.Get(), end, nullptr, FILE_END)) RaiseInOut(GetLastError());
  BufferedWriter out(file.Get());
  out.Write(text);
  out.Write("\r\n");
  out.Flush();
  if (!file.Close()) RaiseInOut(GetLastError());
}

}  // namespace kvp
