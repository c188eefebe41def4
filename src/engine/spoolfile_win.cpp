#include <windows.h>
#include <ntsecapi.h>

#include <algorithm>

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

int64_t TSpoolFile::WriteSome(const uint8_t* data, int64_t count, int64_t offset) {
  OVERLAPPED at = At(offset);
  DWORD done = 0;
  if (!WriteFile(Handle(file_), data, static_cast<DWORD>(std::min(count, kPiece)), &done, &at))
    return 0;
  return done;
}

int64_t TSpoolFile::ReadSome(uint8_t* out, int64_t count, int64_t offset) const {
  OVERLAPPED at = At(offset);
  DWORD got = 0;
  if (!ReadFile(Handle(file_), out, static_cast<DWORD>(std::min(count, kPiece)), &got, &at))
    return 0;
  return got;
}

}  // namespace kvp
