#include "fileio.h"

#include "../server/ansitext.h"
#include "../server/exceptions.h"

namespace kvp {

bool HasEmbeddedNul(std::string_view name) noexcept {
  return name.find('\0') != std::string_view::npos;
}

bool HasEmbeddedNul(std::wstring_view name) noexcept {
  return name.find(L'\0') != std::wstring_view::npos;
}

bool FileExists(const std::wstring& name) noexcept {
  if (HasEmbeddedNul(name)) return false;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(name.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

WriteOutcome WriteBufferToFile(const std::wstring& name, const uint8_t* data, int64_t size,
                               CreateMode mode) {
  if (HasEmbeddedNul(name)) throw EFCreateError("Cannot create file " + ToAnsi(name));
  const DWORD disposition = mode == CreateMode::CreateNew ? CREATE_NEW : CREATE_ALWAYS;
  FileHandle file(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (mode == CreateMode::CreateNew &&
        (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && FileExists(name))
      return WriteOutcome::NameTaken;
    throw EFCreateError("Cannot create file " + ToAnsi(name));
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
