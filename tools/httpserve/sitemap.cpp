#include "sitemap.h"

#include <memory>

namespace kvserve {

namespace {

// Under Wine kernel32 turns a Unix path into a Windows one; elsewhere the
// export is absent and a path that starts with "/" means the current drive.
using UnixToDosFn = WCHAR*(CDECL*)(const char*);

std::wstring FromUnixPath(const std::wstring& path) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return path;
  const auto convert = reinterpret_cast<UnixToDosFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (!convert) return path;
  const std::string unix = Utf8(path);
  WCHAR* dos = convert(unix.c_str());
  if (!dos) return path;
  std::wstring result(dos);
  HeapFree(GetProcessHeap(), 0, dos);
  return result;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n + 1);
  }
  return {};
}

std::wstring LastErrorText(const wchar_t* what) {
  return std::wstring(what) + L" (error " + std::to_wstring(GetLastError()) + L")";
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() &&
         CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    if (n <= 0) continue;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), wide.data(),
                        n);
    return wide;
  }
  return {};
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD n = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
      if (path.starts_with(L"\\\\?\\")) return path.substr(4);
      return path;
    }
    path.resize(n + 1);
  }
  return {};
}

SiteRoot::SiteRoot(const std::wstring& folder) {
  std::wstring given = folder;
  if (given.empty()) given = L".";
  if (given.front() == L'/') given = FromUnixPath(given);
  const std::wstring full = FullPath(given);
  if (full.empty()) {
    error_ = LastErrorText(L"cannot resolve the folder");
    return;
  }
  UniqueHandle handle(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) {
    error_ = LastErrorText(L"cannot open the folder");
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.Get(), &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error_ = L"not a folder";
    return;
  }
  path_ = FinalPath(handle.Get());
  if (path_.empty()) {
    error_ = LastErrorText(L"cannot name the folder");
    return;
  }
  // "Z:\" keeps its backslash; any other folder has none at the end.
  while (path_.size() > 3 && path_.back() == L'\\') path_.pop_back();
}

SiteRoot::Entry SiteRoot::Open(const std::vector<std::string>& segments) const {
  Entry entry;
  const std::wstring prefix = path_.back() == L'\\' ? path_ : path_ + L'\\';
  std::wstring full = path_;
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::wstring name = Widen(segments[i]);
    if (name.empty()) {
      entry.why = "name cannot be converted";
      return entry;
    }
    if (i > 0 || full.back() != L'\\') full += L'\\';
    full += name;
  }
  UniqueHandle handle(CreateFileW(
      full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!handle) {
    const DWORD error = GetLastError();
    entry.kind = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                     ? Entry::Kind::Forbidden
                     : Entry::Kind::Missing;
    entry.why = "open failed (error " + std::to_string(error) + ")";
    return entry;
  }
  if (GetFileType(handle.Get()) != FILE_TYPE_DISK) {
    entry.kind = Entry::Kind::Forbidden;
    entry.why = "not a disk file";
    return entry;
  }
  entry.path = FinalPath(handle.Get());
  if (entry.path.empty()) {
    entry.kind = Entry::Kind::Forbidden;
    entry.why = "real name unknown";
    return entry;
  }
  if (!(segments.empty()
            ? CompareStringOrdinal(entry.path.c_str(), -1, path_.c_str(), -1, TRUE) == CSTR_EQUAL
            : StartsWithNoCase(entry.path, prefix) && entry.path.size() > prefix.size())) {
    entry.kind = Entry::Kind::Forbidden;
    entry.why = "outside the root: " + Utf8(entry.path);
    return entry;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.Get(), &info)) {
    entry.kind = Entry::Kind::Forbidden;
    entry.why = "no file information";
    return entry;
  }
  entry.modified = info.ftLastWriteTime;
  entry.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const size_t slash = entry.path.find_last_of(L'\\');
  entry.extension =
      LowerExtension(Utf8(entry.path.substr(slash == std::wstring::npos ? 0 : slash + 1)));
  entry.kind =
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Entry::Kind::Folder : Entry::Kind::File;
  entry.handle = std::move(handle);
  return entry;
}

}  // namespace kvserve
