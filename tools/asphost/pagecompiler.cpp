#include "pagecompiler.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "server/oleptr.h"
#include "textcodec.h"

namespace kvasp {

namespace {

class Handle {
 public:
  explicit Handle(HANDLE h) noexcept : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (Valid()) CloseHandle(h_);
  }
  bool Valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE Get() const noexcept { return h_; }

 private:
  HANDLE h_;
};

bool IsSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameChar(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether `text` at `pos` starts with `word`, ignoring ASCII case.
bool StartsWithWord(const std::string& text, size_t pos, std::string_view word) {
  return pos + word.size() <= text.size() && SameName(text.substr(pos, word.size()), word);
}

unsigned CountLines(const std::string& text, size_t from, size_t to) {
  return static_cast<unsigned>(std::count(text.begin() + static_cast<ptrdiff_t>(from),
                                          text.begin() + static_cast<ptrdiff_t>(to), '\n'));
}

// Script text with its line ends as single LFs; a lone CR, which the engine
// would count as a line end, becomes a space.
std::wstring ScriptText(std::string_view bytes, UINT codePage) {
  std::wstring text = Widen(bytes, codePage);
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\r')
      out += text[i];
    else if (i + 1 >= text.size() || text[i + 1] != L'\n')
      out += L' ';
  }
  return out;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

class Compiler {
 public:
  Compiler(const FileReader& read, std::wstring siteRoot)
      : read_(read), siteRoot_(std::move(siteRoot)) {}

  CompileResult Run(const std::wstring& pagePath) {
    page_ = std::make_shared<CompiledPage>();
    page_->language = L"VBScript";
    const std::wstring path = FullPath(pagePath);
    std::string bytes;
    if (!read_(path, bytes)) {
      CompileError e;
      e.file = path;
      e.code = L"ASP 0126";
      e.description = L"Page not found. The page '" + path + L"' cannot be read.";
      e.pageMissing = true;
      return {nullptr, std::move(e)};
    }
    AddFile(path, std::move(bytes));
    std::vector<size_t> open;
    if (!Parse(0, open)) return {nullptr, std::move(error_)};

    // The code page of the response and of files without a byte-order mark.
    if (!pageCodePage_) pageCodePage_ = boms_[0] ? CP_UTF8 : CP_ACP;
    page_->codePage = *pageCodePage_;
    for (size_t i = 0; i < page_->files.size(); ++i)
      page_->files[i].codePage = boms_[i] ? CP_UTF8 : *pageCodePage_;
    Generate();
    return {std::move(page_), std::nullopt};
  }

 private:
  enum class Kind { Literal, Code, Expression };
  struct Piece {
    Kind kind;
    SourceLine origin;
    std::string text;
  };

  size_t AddFile(std::wstring path, std::string bytes) {
    const bool bom = bytes.compare(0, kBom.size(), kBom) == 0;
    if (bom) bytes.erase(0, kBom.size());
    page_->files.push_back(SourceFile{std::move(path), std::move(bytes), CP_ACP});
    boms_.push_back(bom);
    return page_->files.size() - 1;
  }

  bool Fail(size_t file, unsigned line, std::wstring code, std::wstring description) {
    CompileError e;
    e.file = page_->files[file].path;
    e.line = line;
    e.code = std::move(code);
    e.description = std::move(description);
    e.lineText = page_->LineText({file, line});
    error_ = std::move(e);
    return false;
  }

  void AddLiteral(size_t file, unsigned line, std::string text) {
    if (text.empty()) return;
    if (!pieces_.empty() && pieces_.back().kind == Kind::Literal) {
      pieces_.back().text += text;
      return;
    }
    pieces_.push_back(Piece{Kind::Literal, {file, line}, std::move(text)});
  }

  // Parses one file's text into pieces; `open` holds the files being parsed,
  // outermost first.
  bool Parse(size_t file, std::vector<size_t>& open) {
    open.push_back(file);
    // The file's text may move when includes are added: work on a copy.
    const std::string text = page_->files[file].text;
    size_t pos = 0;
    unsigned line = 1;
    size_t literalStart = 0;
    unsigned literalLine = 1;
    auto advance = [&](size_t to) {
      line += CountLines(text, pos, to);
      pos = to;
    };

    for (;;) {
      const size_t lt = text.find('<', pos);
      if (lt == std::string::npos) break;
      advance(lt);
      if (text.compare(pos, 2, "<%") == 0) {
        AddLiteral(file, literalLine, text.substr(literalStart, pos - literalStart));
        const unsigned openLine = line;
        size_t start = pos + 2;
        Kind kind = Kind::Code;
        bool directive = false;
        if (start < text.size() && text[start] == '@') {
          directive = true;
          ++start;
        } else if (start < text.size() && text[start] == '=') {
          kind = Kind::Expression;
          ++start;
        }
        const size_t close = text.find("%>", start);
        if (close == std::string::npos)
          return Fail(file, openLine, L"ASP 0116",
                      L"Missing close of script delimiter. The script block lacks the close of "
                      L"script tag (%>).");
        std::string body = text.substr(start, close - start);
        if (directive) {
          if (!Directive(file, openLine, body)) return false;
        } else {
          pieces_.push_back(Piece{kind, {file, openLine}, std::move(body)});
          scriptSeen_ = true;
        }
        advance(close + 2);
        literalStart = pos;
        literalLine = line;
        continue;
      }
      if (text.compare(pos, 4, "<!--") == 0) {
        size_t p = pos + 4;
        while (p < text.size() && IsSpace(text[p])) ++p;
        if (StartsWithWord(text, p, "#include")) {
          AddLiteral(file, literalLine, text.substr(literalStart, pos - literalStart));
          size_t end = 0;
          if (!Include(file, line, text, p + 8, end, open)) return false;
          advance(end);
          literalStart = pos;
          literalLine = line;
          continue;
        }
      }
      ++pos;
    }
    AddLiteral(file, literalLine, text.substr(literalStart));
    open.pop_back();
    return true;
  }

  // The directive's attributes: Language and CodePage count, others are
  // accepted and ignored; a lone word names the language.
  bool Directive(size_t file, unsigned line, const std::string& body) {
    if (file != 0 || scriptSeen_)
      return Fail(file, line, L"ASP 0140",
                  L"Page Command Out Of Order. The @ command must be the first command within "
                  L"the Active Server Page.");
    if (directiveSeen_)
      return Fail(file, line, L"ASP 0141",
                  L"Page Command Repeated. The @ command can only be used once within the Active "
                  L"Server Page.");
    directiveSeen_ = true;
    size_t p = 0;
    for (;;) {
      while (p < body.size() && IsSpace(body[p])) ++p;
      if (p >= body.size()) break;
      const size_t nameStart = p;
      while (p < body.size() && !IsSpace(body[p]) && body[p] != '=') ++p;
      const std::string name = body.substr(nameStart, p - nameStart);
      size_t q = p;
      while (q < body.size() && IsSpace(body[q])) ++q;
      std::string value;
      bool hasValue = false;
      if (q < body.size() && body[q] == '=') {
        hasValue = true;
        ++q;
        while (q < body.size() && IsSpace(body[q])) ++q;
        if (q < body.size() && (body[q] == '"' || body[q] == '\'')) {
          const char quote = body[q];
          const size_t close = body.find(quote, q + 1);
          if (close == std::string::npos)
            return Fail(file, line, L"ASP 0221",
                        L"Invalid @ Command directive. A quoted value lacks its closing quote.");
          value = body.substr(q + 1, close - q - 1);
          q = close + 1;
        } else {
          const size_t valueStart = q;
          while (q < body.size() && !IsSpace(body[q])) ++q;
          value = body.substr(valueStart, q - valueStart);
        }
        p = q;
      }
      if (!hasValue) {
        if (!Language(file, line, name)) return false;
      } else if (SameName(name, "language")) {
        if (!Language(file, line, value)) return false;
      } else if (SameName(name, "codepage")) {
        char* end = nullptr;
        const unsigned long cp = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || !IsValidCodePage(static_cast<UINT>(cp)))
          return Fail(file, line, L"ASP 0203",
                      L"Invalid Code Page. The specified code page attribute is invalid.");
        pageCodePage_ = static_cast<UINT>(cp);
      }
    }
    return true;
  }

  bool Language(size_t file, unsigned line, const std::string& name) {
    if (SameName(name, "vbscript") || SameName(name, "vbs")) {
      page_->language = L"VBScript";
    } else if (SameName(name, "jscript") || SameName(name, "javascript") ||
               SameName(name, "ecmascript")) {
      page_->language = L"JScript";
    } else {
      return Fail(file, line, L"ASP 0129",
                  L"Unknown scripting language. The scripting language '" + Widen(name, CP_ACP) +
                      L"' is not found on the server.");
    }
    return true;
  }

  // An include directive; `p` is just past "#include". On success `end` is
  // just past its "-->".
  bool Include(size_t file, unsigned line, const std::string& text, size_t p, size_t& end,
               std::vector<size_t>& open) {
    const std::wstring malformed =
        L"Missing File or Virtual attribute. The Include file name must be specified using "
        L"either the File or Virtual attribute.";
    while (p < text.size() && IsSpace(text[p])) ++p;
    bool isVirtual = false;
    auto word = [&](std::string_view w) {
      return StartsWithWord(text, p, w) &&
             (p + w.size() >= text.size() || !IsNameChar(text[p + w.size()]));
    };
    if (word("file")) {
      p += 4;
    } else if (word("virtual")) {
      isVirtual = true;
      p += 7;
    } else {
      return Fail(file, line, L"ASP 0128", malformed);
    }
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') return Fail(file, line, L"ASP 0128", malformed);
    ++p;
    while (p < text.size() && IsSpace(text[p])) ++p;
    std::string name;
    if (p < text.size() && (text[p] == '"' || text[p] == '\'')) {
      const size_t close = text.find(text[p], p + 1);
      if (close == std::string::npos) return Fail(file, line, L"ASP 0128", malformed);
      name = text.substr(p + 1, close - p - 1);
      p = close + 1;
    } else {
      const size_t start = p;
      while (p < text.size() && !IsSpace(text[p]) && text.compare(p, 3, "-->") != 0) ++p;
      name = text.substr(start, p - start);
    }
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (name.empty() || text.compare(p, 3, "-->") != 0)
      return Fail(file, line, L"ASP 0128", malformed);
    end = p + 3;

    const std::wstring wideName = Widen(name, page_->files[file].codePage);
    std::wstring relative = wideName;
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    std::wstring target;
    if (isVirtual) {
      relative.erase(0, relative.find_first_not_of(L'\\'));
      std::wstring root = siteRoot_;
      if (!root.empty() && root.back() != L'\\') root += L'\\';
      target = FullPath(root + relative);
    } else {
      target = FullPath(FolderOf(page_->files[file].path) + relative);
    }
    for (size_t o : open) {
      if (SameName(page_->files[o].path, target))
        return Fail(file, line, L"ASP 0135",
                    L"Cyclic Include. The file '" + wideName +
                        L"' is included by itself (perhaps indirectly).");
    }
    std::string bytes;
    if (!read_(target, bytes))
      return Fail(file, line, L"ASP 0126",
                  L"Include file not found. The include file '" + wideName + L"' was not found.");
    const size_t included = AddFile(target, std::move(bytes));
    return Parse(included, open);
  }

  // ---- generation ----

  struct Generator {
    bool vb = true;
    std::wstring out;
    std::vector<SourceLine> lines;
    SourceLine cursor;  // where the current script line is in its source
    bool lastGenerated = false;

    void NewLine(SourceLine origin) {
      if (!lines.empty()) out += L'\n';
      lines.push_back(origin);
      cursor = origin;
    }
    // Opens a piece from `origin`. A generated write joins the line of a
    // generated write from the same source line; the page's own lines are
    // padded to keep their numbers where the script has not run ahead.
    void Start(SourceLine origin, bool generated) {
      if (!lines.empty() && generated && lastGenerated && cursor.file == origin.file &&
          cursor.line == origin.line) {
        out += vb ? L" : " : L" ";
      } else {
        if (origin.file == 0) {
          while (lines.size() + 1 < origin.line)
            NewLine({0, static_cast<unsigned>(lines.size() + 1)});
        }
        NewLine(origin);
      }
      lastGenerated = generated;
    }
    void Text(std::wstring_view text) {
      for (const wchar_t c : text) {
        if (c == L'\n')
          NewLine({cursor.file, cursor.line + 1});
        else
          out += c;
      }
    }
  };

  // Finds a leading "Option Explicit" in the first code piece; when pieces
  // come before it, blanks it there and answers its origin.
  std::optional<SourceLine> HoistOptionExplicit() {
    auto first = std::find_if(pieces_.begin(), pieces_.end(),
                              [](const Piece& p) { return p.kind != Kind::Literal; });
    if (first == pieces_.end() || first == pieces_.begin() || first->kind != Kind::Code)
      return std::nullopt;
    std::string& text = first->text;
    size_t p = 0;
    while (p < text.size() && IsSpace(text[p])) ++p;
    const size_t start = p;
    if (!StartsWithWord(text, p, "option")) return std::nullopt;
    p += 6;
    if (p >= text.size() || (text[p] != ' ' && text[p] != '\t')) return std::nullopt;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    if (!StartsWithWord(text, p, "explicit")) return std::nullopt;
    p += 8;
    if (p < text.size() && IsNameChar(text[p])) return std::nullopt;
    const SourceLine origin{first->origin.file, first->origin.line + CountLines(text, 0, start)};
    std::fill(text.begin() + static_cast<ptrdiff_t>(start),
              text.begin() + static_cast<ptrdiff_t>(p), ' ');
    return origin;
  }

  void Generate() {
    Generator gen;
    gen.vb = page_->language == L"VBScript";
    if (gen.vb) {
      if (const auto option = HoistOptionExplicit()) {
        gen.NewLine(*option);
        gen.out += L"Option Explicit";
      }
    }
    for (Piece& piece : pieces_) {
      const UINT cp = page_->files[piece.origin.file].codePage;
      switch (piece.kind) {
        case Kind::Literal: {
          const std::wstring index = std::to_wstring(page_->blocks.size());
          page_->blocks.push_back(std::move(piece.text));
          gen.Start(piece.origin, true);
          gen.out +=
              gen.vb ? L"Response.WriteBlock " + index : L"Response.WriteBlock(" + index + L");";
          break;
        }
        case Kind::Expression:
          gen.Start(piece.origin, true);
          gen.out += gen.vb ? L"Response.Write (" : L"Response.Write(";
          gen.Text(ScriptText(piece.text, cp));
          gen.out += gen.vb ? L")" : L");";
          break;
        case Kind::Code:
          gen.Start(piece.origin, false);
          gen.Text(ScriptText(piece.text, cp));
          break;
      }
    }
    page_->script = std::move(gen.out);
    page_->lines = std::move(gen.lines);
  }

  const FileReader& read_;
  std::wstring siteRoot_;
  std::shared_ptr<CompiledPage> page_;
  std::vector<bool> boms_;
  std::vector<Piece> pieces_;
  std::optional<CompileError> error_;
  std::optional<UINT> pageCodePage_;
  bool directiveSeen_ = false;
  bool scriptSeen_ = false;
};

// ---- the cache ----

struct Stamp {
  std::wstring path;
  FILETIME written{};
  uint64_t size = 0;
  bool operator==(const Stamp& o) const noexcept {
    return path == o.path && written.dwLowDateTime == o.written.dwLowDateTime &&
           written.dwHighDateTime == o.written.dwHighDateTime && size == o.size;
  }
};

std::optional<Stamp> StampOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return Stamp{path, data.ftLastWriteTime,
               (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

struct CacheEntry {
  std::shared_ptr<const CompiledPage> page;
  std::vector<Stamp> stamps;
};

struct Cache {
  std::mutex lock;
  std::map<std::wstring, CacheEntry> entries;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

std::wstring Lower(std::wstring text) {
  if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

}  // namespace

// ---- CompiledPage ----

SourceLine CompiledPage::Origin(unsigned scriptLine) const noexcept {
  if (scriptLine == 0 || lines.empty()) return {0, 0};
  if (scriptLine > lines.size()) return lines.back();
  return lines[scriptLine - 1];
}

std::wstring CompiledPage::LineText(const SourceLine& where) const {
  if (where.file >= files.size() || where.line == 0) return {};
  const std::string& text = files[where.file].text;
  size_t start = 0;
  for (unsigned n = 1; n < where.line; ++n) {
    start = text.find('\n', start);
    if (start == std::string::npos) return {};
    ++start;
  }
  size_t end = text.find('\n', start);
  if (end == std::string::npos) end = text.size();
  if (end > start && text[end - 1] == '\r') --end;
  return Widen(std::string_view(text).substr(start, end - start), files[where.file].codePage);
}

// ---- files and paths ----

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 0 || size.QuadPart > 0x7FFFFFFF)
    return false;
  bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                  nullptr))
      return false;
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return true;
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring in = path;
  std::replace(in.begin(), in.end(), L'/', L'\\');
  if (in.empty()) return in;
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(in.c_str(), static_cast<DWORD>(out.size()), out.data(), nullptr);
    if (n == 0) return in;
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    out.resize(n + 1);
  }
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// ---- compiling ----

CompileResult CompilePage(const std::wstring& pagePath, const std::wstring& siteRoot,
                          const FileReader& read) {
  Compiler compiler(read, siteRoot);
  return compiler.Run(pagePath);
}

CompileResult CompilePageCached(const std::wstring& pagePath, const std::wstring& siteRoot) {
  const std::wstring key = Lower(FullPath(pagePath)) + L"|" + Lower(FullPath(siteRoot));
  Cache& cache = TheCache();
  {
    std::lock_guard<std::mutex> hold(cache.lock);
    auto it = cache.entries.find(key);
    if (it != cache.entries.end()) {
      const bool fresh = std::all_of(it->second.stamps.begin(), it->second.stamps.end(),
                                     [](const Stamp& s) { return StampOf(s.path) == s; });
      if (fresh) return {it->second.page, std::nullopt};
      cache.entries.erase(it);
    }
  }
  // Each file's stamp is taken before it is read: a change made while the
  // page compiles shows at the next look.
  std::vector<Stamp> stamps;
  bool stamped = true;
  const FileReader read = [&](const std::wstring& path, std::string& bytes) {
    std::optional<Stamp> stamp = StampOf(path);
    if (!stamp) stamped = false;
    if (!ReadWholeFile(path, bytes)) return false;
    if (stamp) stamps.push_back(std::move(*stamp));
    return true;
  };
  CompileResult result = CompilePage(pagePath, siteRoot, read);
  if (result.page && stamped) {
    std::lock_guard<std::mutex> hold(TheCache().lock);
    TheCache().entries[key] = CacheEntry{result.page, std::move(stamps)};
  }
  return result;
}

void ClearPageCache() {
  std::lock_guard<std::mutex> hold(TheCache().lock);
  TheCache().entries.clear();
}

}  // namespace kvasp
