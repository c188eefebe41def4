#include "numbering.h"

#include <windows.h>

#include <limits>
#include <optional>
#include <vector>

#include "pathrules.h"

namespace kvp {

namespace {

// Characters that keep a numbered name from being found by a listing: the
// directory search reads "*" and "?" (and the file system "<", ">" and "\"")
// as patterns, ":" names a stream, no file name holds "|", and NUL would end
// the name early. The existence test of such a name is left to decide each
// number on its own.
constexpr std::wstring_view kUnlistable{L"*?<>\":|\0", 8};

// The numbered names of one target as the folder lists them: every name is
// folder + head + digits + tail.
struct NumberedNames {
  std::wstring folder;  // up to the last separator, inclusive; may be empty
  std::wstring head;    // the bare name's part before the number
  std::wstring tail;    // the part after it, as the file system stores it
};

std::optional<NumberedNames> Describe(std::wstring_view stem, std::wstring_view separator,
                                      std::wstring_view ext) {
  const std::wstring before = std::wstring(stem) + std::wstring(separator);
  // A name given verbatim to the file system keeps its trailing dots and
  // spaces, and "/" is no separator there.
  const bool verbatim = before.starts_with(L"\\\\?\\") || before.starts_with(L"\\??\\");
  const size_t sep = before.find_last_of(verbatim ? L"\\" : L"\\/");
  const size_t bareAt = sep == std::wstring::npos ? 0 : sep + 1;
  NumberedNames names{before.substr(0, bareAt), before.substr(bareAt), std::wstring(ext)};
  for (const std::wstring* part : {&names.head, &names.tail}) {
    if (part->find_first_of(kUnlistable) != std::wstring::npos) return std::nullopt;
    if (verbatim && part->find(L'/') != std::wstring::npos) return std::nullopt;
  }
  // Otherwise the system drops trailing dots and spaces from a name
  // ("file~1." is the file "file~1"); the digits before the tail stop it.
  if (!verbatim) {
    const size_t keep = names.tail.find_last_not_of(L". ");
    names.tail.resize(keep == std::wstring::npos ? 0 : keep + 1);
  }
  return names;
}

bool SameIgnoringCase(const wchar_t* a, std::wstring_view b) {
  // The file system's comparison of names: code unit by code unit through
  // the system's uppercase table.
  return b.empty() || CompareStringOrdinal(a, static_cast<int>(b.size()), b.data(),
                                           static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The number of a listed name that is one of the numbered names, compared as
// the file system compares names: the head and the tail ignoring case, the
// number as decimal digits without a leading zero.
std::optional<uint32_t> NumberOf(std::wstring_view name, const NumberedNames& names) {
  const size_t fixed = names.head.size() + names.tail.size();
  if (name.size() <= fixed) return std::nullopt;
  const std::wstring_view digits = name.substr(names.head.size(), name.size() - fixed);
  if (digits.size() > 10 || digits[0] == L'0') return std::nullopt;
  uint64_t n = 0;
  for (const wchar_t c : digits) {
    if (c < L'0' || c > L'9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - L'0');
  }
  // A number above every count of entries can never be the first free one.
  if (n > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (!SameIgnoringCase(name.data(), names.head) ||
      !SameIgnoringCase(name.data() + names.head.size() + digits.size(), names.tail))
    return std::nullopt;
  return static_cast<uint32_t>(n);
}

class FindHandle {
 public:
  explicit FindHandle(HANDLE h) noexcept : h_(h) {}
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  ~FindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
  }
  HANDLE Get() const noexcept { return h_; }

 private:
  HANDLE h_;
};

// The numbers whose names a file of the folder holds, as one listing shows
// them: taken[n] for every such n up to one past the count of files listed
// (the first free number is never higher). Empty when the folder cannot be
// listed: each number then waits for its existence test.
std::vector<bool> TakenNumbers(const NumberedNames& names) {
  // The numbered names, and whatever else the pattern lets through (a name
  // can also match by its short 8.3 form): each long name is compared below.
  const std::wstring pattern = names.folder + names.head + L"*" + names.tail;
  WIN32_FIND_DATAW found;
  HANDLE first = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                  nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
    // Before Windows 7: neither the basic level nor the large fetch.
    first = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &found, FindExSearchNameMatch,
                             nullptr, 0);
  const FindHandle search(first);
  if (search.Get() == INVALID_HANDLE_VALUE) return {};
  std::vector<uint32_t> numbers;
  do {
    // A folder of the name is not a file: its number stays free (and its
    // creation then fails, as the existence test would have it).
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (const auto n = NumberOf(found.cFileName, names)) numbers.push_back(*n);
  } while (FindNextFileW(search.Get(), &found));
  std::vector<bool> taken(numbers.size() + 2, false);
  for (const uint32_t n : numbers)
    if (n < taken.size()) taken[n] = true;
  return taken;
}

// The first number above n that the listing did not show as taken.
uint64_t NextFree(const std::vector<bool>& taken, uint64_t n) {
  ++n;
  while (n < taken.size() && taken[static_cast<size_t>(n)]) ++n;
  return n;
}

}  // namespace

std::wstring NumberedName(std::wstring_view target, std::wstring_view separator, uint64_t n) {
  // Windows takes "/" as a folder separator too: a dot in a folder name
  // written with "/" must not be taken for the extension.
  const std::wstring_view ext = ExtractFileExt(target, Separators::WindowsAndSlash);
  std::wstring name(target.substr(0, target.size() - ext.size()));
  name += separator;
  name += std::to_wstring(n);
  name += ext;
  return name;
}

std::wstring WriteUnderFreeNumber(const std::wstring& target, std::wstring_view separator,
                                  const TryWrite& tryWrite) {
  const std::wstring_view ext = ExtractFileExt(target, Separators::WindowsAndSlash);
  const std::wstring_view stem = std::wstring_view(target).substr(0, target.size() - ext.size());
  const std::optional<NumberedNames> names = Describe(stem, separator, ext);
  const std::vector<bool> taken = names ? TakenNumbers(*names) : std::vector<bool>();
  for (uint64_t n = NextFree(taken, 0);; n = NextFree(taken, n)) {
    const std::wstring candidate = NumberedName(target, separator, n);
    // The existence test still has the last word on a number the listing
    // left free: a name can exist as another file's short name or as a
    // device, or have been created since.
    if (FileExists(candidate)) continue;
    if (tryWrite(candidate) == WriteOutcome::Written) return candidate;
    // Taken in the meantime by another writer: on to the next free number.
  }
}

}  // namespace kvp
