// Form variables: views on FVars (name=value lines), and the files' tag names.
// Under a code page set by the page they are views on what that code page
// makes of the names (TUploadState::Vars).

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

std::wstring_view WideView(BSTR text) {
  return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view();
}

// Whether the two wide texts are equal ignoring case under the user's locale.
bool SameWideText(std::wstring_view a, std::wstring_view b) {
  if (a.size() > INT_MAX || b.size() > INT_MAX) return false;
  if (a.empty() || b.empty()) return a.empty() && b.empty();
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The page's name as text of codePage, when that text reads back as exactly
// the name: then comparing it as that code page's text is comparing the name.
bool ExactText(BSTR name, UINT codePage, std::string& text) {
  text = ToAnsi(WideView(name), codePage);
  return ToWideString(text, codePage) == WideView(name);
}

// The first line of vars whose name, read in codePage, matches wanted; -1
// when none does.
int32_t NamedLine(const TStringList& vars, BSTR wanted, UINT codePage) {
  std::string text;
  if (ExactText(wanted, codePage, text)) return vars.IndexOfName(text);
  // A name the code page cannot write: each line's name is read instead.
  for (int32_t i = 0; i < vars.Count(); ++i)
    if (SameWideText(ToWideString(vars.Names(i), codePage), WideView(wanted))) return i;
  return -1;
}

}  // namespace

HRESULT Tprocess::get_VarCount(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = Vars(FCodePage).Count(); });
}

// Under the default setting, lines are selected by the ASCII fold of their
// names; the result is the list lookup of a selected line's name. Every
// selected line leads to the same lookup (names equal under the fold are
// equal under the list comparison), so the first selection decides.
// Under a code page set by the page, the first line of that code page's
// variables whose name equals the wanted name ignoring case by the user's
// locale is selected, and the result is what VarByIndex gives for it: its
// own value, as no earlier line has its name.
HRESULT Tprocess::get_Value(BSTR VarName, BSTR* Value) {
  return TextMember(Value, [&]() -> BSTR {
    if (FCodePage != CP_ACP) {
      const TStringList& vars = Vars(FCodePage);
      const int32_t line = NamedLine(vars, VarName, FCodePage);
      return line < 0 ? nullptr : BodyText(vars.ValueFromIndex(line));
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
    const TStringList& vars = Vars(FCodePage);
    if (Index < 0 || Index > vars.Count() - 1) throw EIndexError(kVarIndexError);
    return BodyText(vars.Values(vars.Names(Index)));
  });
}

HRESULT Tprocess::get_VarName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    const TStringList& vars = Vars(FCodePage);
    if (Index < 0 || Index > vars.Count() - 1) throw EIndexError(kVarIndexError);
    return BodyText(vars.Names(Index));
  });
}

// The first file item whose part's name equals TagName ignoring case: by the
// list comparison under the default setting, else as Value compares names.
HRESULT Tprocess::get_TagNameIndex(BSTR TagName, LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] {
    *Value = -1;
    if (FCodePage == CP_ACP) {
      *Value = TagIndex(ToAnsi(TagName), 0);
      return;
    }
    std::string text;
    if (ExactText(TagName, FCodePage, text)) {
      *Value = TagIndex(text, FCodePage);
      return;
    }
    for (int32_t i = 0; i < FFileCount; ++i)
      if (SameWideText(ToWideString(TagNameOf(static_cast<size_t>(i)), FCodePage),
                       WideView(TagName))) {
        *Value = i;
        return;
      }
  });
}

}  // namespace kvp
