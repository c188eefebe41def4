#include "fileio.h"

#include "../server/exceptions.h"

namespace kvp {

bool HasEmbeddedNul(std::string_view name) noexcept {
  return name.find('\0') != std::string_view::npos;
}

bool FileExistsAnsi(const std::string& name) noexcept {
  if (HasEmbeddedNul(name)) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(name.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

WriteOutcome WriteBufferToFile(const std::string& name, const uint8_t* data, int64_t size,
                               CreateMode mode) {
  if (HasEmbeddedNul(name)) throw EFCreateError("Cannot create file " + name);
  const DWORD disposition = mode == CreateMode::CreateNew ? CREATE_NEW : CREATE_ALWAYS;
  FileHandle file(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (mode == CreateMode::CreateNew &&
        (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && FileExistsAnsi(name))
      return WriteOutcome::NameTaken;
    throw EFCreateError("Cannot create file " + name);
  }
  // Items never exceed the 32-bit request size, so one write takes them whole.
  DWORD written = 0;
  const auto want = static_cast<DWORD>(size);
  const BOOL ok = size <= 0 || WriteFile(file.Get(), data, want, &written, nullptr);
  const bool closed = file.Close();
  if (size > 0 && (!ok || written != want)) throw EWriteError("Stream write error");
  if (!closed) throw EWriteError("Stream write error");
  return WriteOutcome::Written;
}

}  // namespace kvp
