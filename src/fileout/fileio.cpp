#include "fileio.h"

#include <algorithm>
#include <memory>
#include <new>

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

namespace {

// Writes count bytes in one call; false when fewer are taken.
bool WriteAll(HANDLE file, const uint8_t* data, int64_t count) {
  DWORD written = 0;
  const auto want = static_cast<DWORD>(count);
  return count <= 0 || (WriteFile(file, data, want, &written, nullptr) && written == want);
}

}  // namespace

WriteOutcome WriteBodyToFile(const std::wstring& name, const TBodySource& body, int64_t offset,
                             int64_t count, CreateMode mode) {
  if (HasEmbeddedNul(name)) throw EFCreateError("Cannot create file " + ToAnsi(name));
  const uint8_t* const memory = body.Memory();
  std::unique_ptr<uint8_t[]> piece;
  if (!memory && count > 0) {
    piece.reset(new (std::nothrow) uint8_t[static_cast<size_t>(std::min(count, kCopyPiece))]);
    if (!piece) throw EOutOfMemory("Out of memory");
  }
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
  // Items never exceed the 32-bit request size, so one write takes a body in
  // memory whole.
  bool ok = true;
  if (memory) {
    ok = WriteAll(file.Get(), memory + offset, count);
  } else {
    for (int64_t done = 0; ok && done < count;) {
      const int64_t n = std::min(count - done, kCopyPiece);
      body.ReadAt(offset + done, piece.get(), n);
      ok = WriteAll(file.Get(), piece.get(), n);
      done += n;
    }
  }
  const bool closed = file.Close();
  if (!ok || !closed) throw EWriteError("Stream write error");
  return WriteOutcome::Written;
}

}  // namespace kvp
