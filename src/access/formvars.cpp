// Form variables: views on FVars (name=value lines) and FTagNames.

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

}  // namespace

HRESULT Tprocess::get_VarCount(LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FVars->Count(); });
}

// Lines are selected by the ASCII fold of their names; the result is the list
// lookup of a selected line's name. Every selected line leads to the same
// lookup (names equal under the fold are equal under the list comparison),
// so the first selection decides.
HRESULT Tprocess::get_Value(BSTR VarName, BSTR* Value) {
  return TextMember(Value, [&]() -> BSTR {
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
    return ToBstr(FVars->Values(FVars->Names(Index)));
  });
}

HRESULT Tprocess::get_VarName(LONG Index, BSTR* Value) {
  return TextMember(Value, [&] {
    if (Index < 0 || Index > FVars->Count() - 1) throw EIndexError(kVarIndexError);
    return ToBstr(FVars->Names(Index));
  });
}

HRESULT Tprocess::get_TagNameIndex(BSTR TagName, LONG* Value) {
  if (!Value) return E_POINTER;
  return Guard([&] { *Value = FTagNames->IndexOf(ToAnsi(TagName)); });
}

}  // namespace kvp
