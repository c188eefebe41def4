// Form variables: views on FVars (name=value lines), and the files' tag names.

#include <climits>

#include "../engine/collation.h"
#include "../engine/process.h"
#include "../server/ansitext.h"

namespace kvp {

namespace {

constexpr const char* kVarIndexError = "Index out of range.";

// Small letters a to z become capitals; every other byte stays.
std::string AsciiFold(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  return out;
}

// Whether the two wide texts are equal ignoring case under the user's locale.
bool SameWideText(std::wstring_view a, std::wstring_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return false;
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The first line of list whose name, decoded from codePage, equals wanted;
// -1 when none does.
int32_t FirstNamed(const TStringList& list, BSTR wanted, UINT codePage) {
  const std::wstring_view name(wanted ? wanted : L"", wanted ? SysStringLen(wanted) : 0);
  for (int32_t i = 0; i < list.Count(); ++i)
    if (SameWideText(ToWideString(list.Names(i), codePage), name)) return i;
  return -1;
}

}  // namespace

HRESULT Tprocess::get_VarCount(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FVars->Count(); });
}

// Under the default setting, lines are selected by the ASCII fold of their
// names; the result is the list lookup of a selected line's name. Every
// selected line leads to the same lookup (names equal under the fold are
// equal under the list comparison), so the first selection decides.
// Under a code page set by the page, the first line whose name, decoded from
// that code page, equals the wanted name ignoring case by the user's locale is
// selected, and the result is what VarByIndex gives for it.
HRESULT Tprocess::get_Value(BSTR VarName, BSTR* Value) {
  return TextMember(Value, [&]() -> BSTR {
    if (FCodePage != CP_ACP) {
      const int32_t line = FirstNamed(*FVars, VarName, FCodePage);
      return line < 0 ? nullptr : BodyText(FVars->Values(FVars->Names(line)));
    }
    const std::string wanted = AsciiFold(ToAnsi(VarName));
    for (int32_t i = 0; i < FVars->Count(); ++i) {
      const std::string_view name = FVars->Names(i);
      if (name.size() == wanted.size() && AsciiFold(name) == wanted)
        return ToBstr(FVars->Values(name));
    }
    return nullptr;
  });
}

HRESULT Tprocess::get_VarByIndex(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    if (Index < 0 || Index > FVars->Count() - 1) throw EIndexError(kVarIndexError);
    return BodyText(FVars->Values(FVars->Names(Index)));
  });
}

HRESULT Tprocess::get_VarName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    if (Index < 0 || Index > FVars->Count() - 1) throw EIndexError(kVarIndexError);
    return BodyText(FVars->Names(Index));
  });
}

// The first file item whose part's name equals TagName ignoring case: by the
// list comparison under the default setting, else as Value compares names.
HRESULT Tprocess::get_TagNameIndex(BSTR TagName, LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] {
    *Value = -1;
    const std::string ansi = FCodePage == CP_ACP ? ToAnsi(TagName) : std::string();
    const std::wstring_view wide(TagName ? TagName : L"", TagName ? SysStringLen(TagName) : 0);
    for (int32_t i = 0; i < FFileCount; ++i) {
      const std::string tag = FileText(static_cast<size_t>(i)).TagName;
      if (FCodePage == CP_ACP ? SameText(tag, ansi)
                              : SameWideText(ToWideString(tag, FCodePage), wide)) {
        *Value = i;
        return;
      }
    }
  });
}

}  // namespace kvp
