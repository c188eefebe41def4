#include <windows.h>
#include <ntsecapi.h>

#include <algorithm>
#include <cstring>

#include "../server/exceptions.h"
#include "spoolfile.h"

namespace kvp {

namespace {

// Reads and writes go in pieces a DWORD can count.
constexpr int64_t kPiece = int64_t{1} << 30;

HANDLE Handle(intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return at;
}

// The name for a message, in the ANSI code page.
std::string Narrow(const std::wstring& name) {
  const int n = WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, 0, name.data(), static_cast<int>(name.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring TempFolder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, path);
  return n > 0 && n <= MAX_PATH ? std::wstring(path, n) : std::wstring();
}

// 128 bits from the system's cryptographic generator, as hex.
std::wstring UnguessableName() {
  uint8_t bits[16];
  if (!RtlGenRandom(bits, sizeof bits))
    throw EFCreateError("Cannot create the upload's spool file");
  static const wchar_t hex[] = L"0123456789abcdef";
  std::wstring name = L"kvParcelin-";
  for (uint8_t b : bits) {
    name.push_back(hex[b >> 4]);
    name.push_back(hex[b & 15]);
  }
  return name + L".tmp";
}

}  // namespace

TSpoolFile::TSpoolFile(const std::wstring& folder, int64_t size)
    : file_(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)), size_(size) {
  std::wstring dir = folder.empty() ? TempFolder() : folder;
  if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') dir.push_back(L'\\');
  // Created only if absent, shared with no one, and deleted by the system
  // with its last handle: nothing is left behind, whatever ends the process.
  for (int attempt = 0; attempt < 4; ++attempt) {
    name_ = dir + UnguessableName();
    const HANDLE h =
        CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file_ = reinterpret_cast<intptr_t>(h);
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  throw EFCreateError("Cannot create file " + Narrow(name_));
}

TSpoolFile::~TSpoolFile() {
  CloseHandle(Handle(file_));
}

void TSpoolFile::Append(const void* data, int64_t count) {
  count = std::min(count, size_ - written_);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const auto piece = static_cast<DWORD>(std::min(count, kPiece));
    OVERLAPPED at = At(written_);
    DWORD done = 0;
    if (!WriteFile(Handle(file_), bytes, piece, &done, &at) || done == 0)
      throw EWriteError("Stream write error");
    written_ += done;
    bytes += done;
    count -= done;
  }
}

void TSpoolFile::ReadAt(int64_t offset, void* buffer, int64_t count) const {
  if (offset < 0 || count < 0 || count > size_ - offset) throw EReadError("Stream read error");
  auto* out = static_cast<uint8_t*>(buffer);
  // What was announced but never arrived reads as zeros.
  const int64_t stored = std::clamp<int64_t>(written_ - offset, 0, count);
  std::memset(out + stored, 0, static_cast<size_t>(count - stored));
  for (int64_t done = 0; done < stored;) {
    const auto piece = static_cast<DWORD>(std::min(stored - done, kPiece));
    OVERLAPPED at = At(offset + done);
    DWORD got = 0;
    if (!ReadFile(Handle(file_), out + done, piece, &got, &at) || got == 0)
      throw EReadError("Stream read error");
    done += got;
  }
}

}  // namespace kvp
