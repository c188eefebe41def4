// RunPage: one request against one page, from compiling it to the last byte
// of the response.
#include "asphost.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "intrinsics.h"
#include "mtxexclient.h"
#include "scripthost.h"
#include "textcodec.h"

namespace kvasp {

namespace {

// The names under which the script also finds the intrinsics. The page's
// script reaches them through global variables of the usual names, set from
// these items before the page runs: the engines call a default member
// (Request("name")) of a variable but not of a named item.
constexpr const wchar_t* kVBScriptPrelude =
    L"Dim Request, Response, Server, Session\n"
    L"Set Request = kvasp_Request\n"
    L"Set Response = kvasp_Response\n"
    L"Set Server = kvasp_Server\n"
    L"Set Session = kvasp_Session\n";
constexpr const wchar_t* kJScriptPrelude =
    L"var Request = kvasp_Request, Response = kvasp_Response, Server = kvasp_Server, "
    L"Session = kvasp_Session;\n";

std::wstring VirtualPathOf(const std::wstring& file, const std::wstring& root) {
  std::wstring base = root;
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  if (base.empty() || file.size() <= base.size() ||
      CompareStringOrdinal(file.c_str(), static_cast<int>(base.size()), base.c_str(),
                           static_cast<int>(base.size()), TRUE) != CSTR_EQUAL)
    return {};
  std::wstring rel = file.substr(base.size());
  std::replace(rel.begin(), rel.end(), L'\\', L'/');
  return L"/" + rel;
}

PageRequest Resolve(const PageRequest& in) {
  PageRequest r = in;
  r.pagePath = FullPath(in.pagePath);
  r.siteRoot = in.siteRoot.empty() ? FolderOf(r.pagePath) : FullPath(in.siteRoot);
  while (r.siteRoot.size() > 3 && r.siteRoot.back() == L'\\') r.siteRoot.pop_back();
  if (r.urlPath.empty()) {
    std::wstring url = VirtualPathOf(r.pagePath, r.siteRoot);
    if (url.empty()) url = L"/" + r.pagePath.substr(r.pagePath.find_last_of(L'\\') + 1);
    r.urlPath = Narrow(url, CP_ACP);
  }
  return r;
}

kvp::ComPtr<IDispatch> AsDispatch(IDispatch* object) {
  object->AddRef();
  return kvp::ComPtr<IDispatch>::Adopt(object);
}

ScriptFailure FromCompileError(const CompileError& e) {
  ScriptFailure f;
  f.file = e.file;
  f.line = e.line;
  f.number = E_FAIL;
  f.source = L"Active Server Pages error '" + e.code + L"'";
  f.description = e.description;
  f.lineText = e.lineText;
  return f;
}

// The script error that Wine's engines leave as a bare automation status
// (a division by zero arrives as DISP_E_DIVBYZERO without a text), as
// Windows' engines word it: number and description.
std::optional<std::pair<long, const wchar_t*>> EngineWording(HRESULT status) {
  switch (status) {
    case DISP_E_DIVBYZERO:
      return std::pair{11L, L"Division by zero"};
    case DISP_E_TYPEMISMATCH:
      return std::pair{13L, L"Type mismatch"};
    case DISP_E_OVERFLOW:
      return std::pair{6L, L"Overflow"};
    case DISP_E_BADINDEX:
      return std::pair{9L, L"Subscript out of range"};
    case DISP_E_PARAMNOTOPTIONAL:
      return std::pair{449L, L"Argument not optional"};
    case DISP_E_BADPARAMCOUNT:
      return std::pair{450L, L"Wrong number of arguments or invalid property assignment"};
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_UNKNOWNNAME:
      return std::pair{438L, L"Object doesn't support this property or method"};
    case E_OUTOFMEMORY:
      return std::pair{7L, L"Out of memory"};
    default:
      return std::nullopt;
  }
}

ScriptFailure FromScriptError(const kvsh::ScriptError& e, const CompiledPage& page,
                              bool compiling) {
  const SourceLine where = page.Origin(e.line);
  ScriptFailure f;
  f.file = where.file < page.files.size() ? page.files[where.file].path : std::wstring();
  f.line = where.line;
  f.number = e.Number();
  f.source = e.source;
  if (f.source.empty())
    f.source =
        L"Microsoft " + page.language + (compiling ? L" compilation error" : L" runtime error");
  f.description = e.description;
  if (f.description.empty() && !compiling) {
    if (const auto wording = EngineWording(e.scode)) {
      f.number = wording->first;
      f.description = wording->second;
    } else {
      f.description = StatusText(e.scode);
    }
  }
  if (f.description.empty() && compiling) f.description = L"Syntax error";
  if (f.description.empty()) f.description = L"Unknown runtime error";
  f.lineText = page.LineText(where);
  return f;
}

ScriptFailure EngineFailure(const CompiledPage& page, HRESULT hr) {
  ScriptFailure f;
  f.file = page.files.front().path;
  f.number = hr;
  f.source = L"Active Server Pages error 'ASP 0129'";
  f.description = L"The scripting engine '" + page.language + L"' cannot run the page (" +
                  HexStatus(hr) + L").";
  return f;
}

// Runs the compiled page with the intrinsics; the first error that stopped
// it, unless the page ended through Response.End or Redirect.
std::optional<ScriptFailure> Execute(const CompiledPage& page, const Intrinsics& set) {
  // Without the stand-in mtxex.dll the page still runs; components that look
  // for the object context then find none.
  kvstub::ContextScope scope(set.context.Get());
  kvsh::ScriptSession session;
  HRESULT hr = session.Open(page.language);
  if (FAILED(hr)) return EngineFailure(page, hr);
  const std::pair<const wchar_t*, IDispatch*> objects[] = {{L"Request", set.request.Get()},
                                                           {L"Response", set.response.Get()},
                                                           {L"Server", set.server.Get()},
                                                           {L"Session", set.session.Get()}};
  for (const auto& [name, object] : objects) {
    for (const std::wstring& itemName : {std::wstring(name), L"kvasp_" + std::wstring(name)}) {
      hr = session.AddItem({itemName, AsDispatch(object), SCRIPTITEM_ISVISIBLE});
      if (FAILED(hr)) return EngineFailure(page, hr);
    }
  }
  const bool vb = page.language == L"VBScript";
  hr = session.Parse(vb ? kVBScriptPrelude : kJScriptPrelude);
  if (SUCCEEDED(hr)) hr = session.Parse(page.script, 1);
  const size_t compileErrors = session.Errors().size();
  if (SUCCEEDED(hr)) hr = session.Run();
  session.Close();

  if (set.control->Ended()) return std::nullopt;
  if (!session.Errors().empty())
    return FromScriptError(session.Errors().front(), page, compileErrors > 0);
  if (FAILED(hr)) return EngineFailure(page, hr);
  return std::nullopt;
}

std::wstring ErrorPage(const ScriptFailure& f, const PageRequest& request) {
  std::wstring heading = HtmlEncode(f.source);
  if (f.source.find(L'\'') == std::wstring::npos) {
    const HRESULT code = f.number < 0 || f.number > 0xFFFF
                             ? static_cast<HRESULT>(f.number)
                             : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, f.number);
    heading += L" '" + HexStatus(code) + L"'";
  }
  std::wstring where = VirtualPathOf(f.file, request.siteRoot);
  if (where.empty()) where = f.file;
  std::wstring html = L"<font face=\"Arial\" size=2>\r\n<p>" + heading + L"</p>\r\n<p>" +
                      HtmlEncode(f.description) + L"</p>\r\n<p>" + HtmlEncode(where);
  if (f.line) html += L", line " + std::to_wstring(f.line);
  html += L"</p>\r\n";
  if (!f.lineText.empty()) html += L"<pre>" + HtmlEncode(f.lineText) + L"</pre>\r\n";
  html += L"</font>\r\n";
  return html;
}

}  // namespace

PageOutcome RunPage(const PageRequest& request, BodySource& body, ResponseSink& response) {
  auto page = std::make_shared<PageContext>();
  page->request = Resolve(request);
  page->body = &body;
  page->sink = &response;
  const CompileResult compiled = CompilePageCached(page->request.pagePath, page->request.siteRoot);
  if (compiled.page) {
    page->page = compiled.page;
    page->codePage = compiled.page->codePage;
    page->sessionCodePage = compiled.page->codePage;
  }
  const Intrinsics set = CreateIntrinsics(page);

  PageOutcome outcome;
  std::optional<ScriptFailure> failure;
  bool missing = false;
  if (compiled.error) {
    failure = FromCompileError(*compiled.error);
    missing = compiled.error->pageMissing;
  } else {
    failure = Execute(*compiled.page, set);
  }
  if (failure) {
    outcome.ok = false;
    const std::string html = Narrow(ErrorPage(*failure, page->request), page->codePage);
    if (missing)
      set.control->Fail(404, L"Not Found", html);
    else
      set.control->Fail(500, L"Internal Server Error", html);
    outcome.errors.push_back(std::move(*failure));
  } else {
    set.control->Finish();
  }
  outcome.status = set.control->SentStatus();
  // Objects a component kept hold of fail from now on instead of reaching
  // the caller's body and sink.
  page->Detach();
  return outcome;
}

std::wstring DescribeFailure(const ScriptFailure& failure) {
  return failure.file + L"(" + std::to_wstring(failure.line) + L"): " + failure.source + L": " +
         failure.description;
}

}  // namespace kvasp
