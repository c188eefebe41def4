// A small Active Scripting host: runs VBScript or JScript text through the
// installed script engine with caller-supplied named objects, and reports the
// errors the engine raises with their position and source line.
//
// The calling thread must have initialised COM apartment-threaded
// (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)).
//
// Engine traps worth knowing (Wine 8): VBScript cannot UBound/LBound/LenB a
// VT_UI1 array (check byte arrays from C++); `Dim a()` followed by ReDim can
// crash the engine (use `Dim a`); VBScript Class instances answer
// GetIDsOfNames with E_NOTIMPL (FindMember in dispatch.h falls back to
// IDispatchEx::GetDispID); VBScript calls a named item's default member only
// through a variable (`Set o = Item : o(1)`, not `Item(1)`).
#pragma once

#include <windows.h>
#include <activscp.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/oleptr.h"

namespace kvsh {

struct NamedItem {
  std::wstring name;
  kvp::ComPtr<IDispatch> object;
  // Add SCRIPTITEM_GLOBALMEMBERS to reach the members without the name, or
  // SCRIPTITEM_ISSOURCE for an object that fires events.
  DWORD flags = SCRIPTITEM_ISVISIBLE;
};

// One error the engine reported. Wine 8 leaves some descriptions empty: a
// VBScript compilation error arrives as E_FAIL, a division by zero as the bare
// DISP_E_DIVBYZERO. The line text comes from the engine when it gives one,
// otherwise from the parsed block (Wine gives it for JScript syntax errors only).
struct ScriptError {
  ULONG line = 0;   // 1-based; 0 when the engine gave no position
  LONG column = 0;  // 0-based character position in the line, as the engine reports it
  HRESULT scode = S_OK;
  WORD wCode = 0;
  std::wstring source;       // e.g. "Microsoft VBScript runtime error"
  std::wstring description;  // e.g. "Division by zero"
  std::wstring lineText;     // the text of the failing line, without its line end

  // The number a script sees in Err.Number: the low word of a scripting
  // (FACILITY_CONTROL) error, otherwise scode itself, or wCode.
  long Number() const noexcept;
};

struct RunResult {
  bool ok = false;
  // The first failing call, SCRIPT_E_REPORTED when the engine reported an
  // error during a call that itself succeeded; S_OK when ok.
  HRESULT status = S_OK;
  std::optional<ScriptError> error;  // the first error the engine reported
};

class ScriptSite;

// One engine instance with its site, for hosts that go step by step: open,
// add items, parse one or more blocks, run, then call into the script's
// globals before closing. Every step answers the engine's HRESULT.
class ScriptSession {
 public:
  ScriptSession();
  ScriptSession(const ScriptSession&) = delete;
  ScriptSession& operator=(const ScriptSession&) = delete;
  ~ScriptSession();

  // Creates the engine by ProgID ("VBScript", "JScript") and attaches the site.
  HRESULT Open(std::wstring_view language);
  // The object must stay usable until Close; the session keeps a reference.
  HRESULT AddItem(const NamedItem& item);
  // Queues a block of code; `firstLine` is the 1-based number of its first
  // line in whatever the caller numbers (a page, a file).
  HRESULT Parse(std::wstring_view text, ULONG firstLine = 1);
  // Connects the engine: queued code runs now.
  HRESULT Run();
  // The script's global functions and variables, for FindMember/CallMember.
  kvp::ComPtr<IDispatch> Globals();
  // Closes and releases the engine; the errors stay readable. Called by the
  // destructor when needed.
  HRESULT Close();

  const std::vector<ScriptError>& Errors() const noexcept;

 private:
  kvp::ComPtr<ScriptSite> site_;
  kvp::ComPtr<IActiveScript> engine_;
  kvp::ComPtr<IActiveScriptParse> parse_;
};

// Runs `source` in a fresh engine with `items` added, then closes it.
RunResult RunScript(std::wstring_view language, std::wstring_view source,
                    std::span<const NamedItem> items = {});

}  // namespace kvsh
