#include "httpparse.h"

#include <algorithm>
#include <array>

namespace kvserve {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// tchar of RFC 9110: the characters of a token.
bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return IsTokenChar(static_cast<unsigned char>(c));
  });
}

// A field value's characters: visible ASCII, 8-bit text, space and tab.
bool IsValueChar(unsigned char c) {
  return c == '\t' || (c >= 0x20 && c != 0x7F);
}

std::string_view TrimOws(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Splits off the next line (without its CR LF or LF). False when a CR stands
// anywhere but right before the LF.
bool NextLine(std::string_view& rest, std::string_view& line) {
  const size_t lf = rest.find('\n');
  if (lf == std::string_view::npos) return false;
  line = rest.substr(0, lf);
  rest.remove_prefix(lf + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line.find('\r') == std::string_view::npos;
}

// Calls fn for each comma-separated element of a field value, trimmed,
// skipping empty ones.
template <typename Fn>
void ForEachElement(std::string_view value, Fn fn) {
  for (;;) {
    const size_t comma = value.find(',');
    const std::string_view element = TrimOws(value.substr(0, comma));
    if (!element.empty()) fn(element);
    if (comma == std::string_view::npos) return;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

const std::string* RequestHead::Find(std::string_view name) const {
  for (const HeaderField& field : headers)
    if (EqualsNoCase(field.first, name)) return &field.second;
  return nullptr;
}

size_t RequestHead::Count(std::string_view name) const {
  return static_cast<size_t>(
      std::count_if(headers.begin(), headers.end(),
                    [&](const HeaderField& f) { return EqualsNoCase(f.first, name); }));
}

size_t FindHeadEnd(std::string_view data) {
  // The head ends at the first empty line: an LF followed by LF or CR LF.
  size_t from = 0;
  for (;;) {
    const size_t lf = data.find('\n', from);
    if (lf == std::string_view::npos) return std::string_view::npos;
    if (lf + 1 < data.size() && data[lf + 1] == '\n') return lf + 2;
    if (lf + 2 < data.size() && data[lf + 1] == '\r' && data[lf + 2] == '\n') return lf + 3;
    if (lf + 2 >= data.size()) return std::string_view::npos;
    from = lf + 1;
  }
}

Verdict ParseHead(std::string_view head, RequestHead& out) {
  out = RequestHead{};
  std::string_view rest = head;
  std::string_view line;
  if (!NextLine(rest, line)) return {400, "stray CR in the request line"};

  // method SP request-target SP HTTP-version, single spaces.
  const size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return {400, "request line without a target"};
  const size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return {400, "request line without a version"};
  if (line.find(' ', sp2 + 1) != std::string_view::npos)
    return {400, "extra space in request line"};
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(method)) return {400, "malformed method"};
  if (target.empty()) return {400, "empty target"};
  for (char c : target) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return {400, "control or 8-bit byte in the target"};
  }
  if (target.size() > kMaxTargetBytes) return {414, "target too long"};
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' ||
      version[5] < '0' || version[5] > '9' || version[7] < '0' || version[7] > '9')
    return {400, "malformed version"};
  out.method = std::string(method);
  out.target = std::string(target);
  out.versionMajor = version[5] - '0';
  out.versionMinor = version[7] - '0';
  if (out.versionMajor == 0) return {400, "HTTP/0.x"};
  if (out.versionMajor > 1) return {505, "HTTP version not supported"};

  for (;;) {
    if (!NextLine(rest, line)) return {400, "stray CR in a header line"};
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') return {400, "folded header line"};
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {400, "header line without a colon"};
    const std::string_view name = line.substr(0, colon);
    if (!IsToken(name)) return {400, "malformed header name"};
    const std::string_view value = TrimOws(line.substr(colon + 1));
    for (char c : value)
      if (!IsValueChar(static_cast<unsigned char>(c)))
        return {400, "control byte in a header value"};
    if (out.headers.size() >= kMaxHeaderCount) return {431, "too many header lines"};
    out.headers.emplace_back(std::string(name), std::string(value));
  }
  if (!rest.empty()) return {400, "bytes after the head"};
  return {};
}

Verdict InterpretHead(const RequestHead& head, RequestMeta& out) {
  out = RequestMeta{};
  const bool http11 = head.versionMajor == 1 && head.versionMinor >= 1;

  const size_t hosts = head.Count("Host");
  if (hosts > 1) return {400, "more than one Host"};
  if (hosts == 0 && http11) return {400, "HTTP/1.1 request without Host"};
  if (hosts == 1) out.host = *head.Find("Host");

  // Content-Length: digits; repeated copies (fields or list elements) must agree.
  bool haveLength = false;
  for (const HeaderField& field : head.headers) {
    if (!EqualsNoCase(field.first, "Content-Length")) continue;
    bool bad = false;
    bool empty = true;
    ForEachElement(field.second, [&](std::string_view element) {
      empty = false;
      if (element.size() > 15 || !std::all_of(element.begin(), element.end(),
                                              [](char c) { return c >= '0' && c <= '9'; })) {
        bad = true;
        return;
      }
      int64_t n = 0;
      for (char c : element) n = n * 10 + (c - '0');
      if (haveLength && n != out.contentLength) bad = true;
      haveLength = true;
      out.contentLength = n;
    });
    if (bad || empty) return {400, "malformed or conflicting Content-Length"};
  }
  if (head.Count("Transfer-Encoding") > 0) {
    if (haveLength) return {400, "both Transfer-Encoding and Content-Length"};
    return {411, "request body without Content-Length"};
  }

  bool close = false;
  bool keepAlive = false;
  for (const HeaderField& field : head.headers) {
    if (!EqualsNoCase(field.first, "Connection")) continue;
    ForEachElement(field.second, [&](std::string_view element) {
      if (EqualsNoCase(element, "close")) close = true;
      if (EqualsNoCase(element, "keep-alive")) keepAlive = true;
    });
  }
  out.keepAlive = !close && (http11 || keepAlive);

  for (const HeaderField& field : head.headers) {
    if (!EqualsNoCase(field.first, "Expect")) continue;
    if (!EqualsNoCase(TrimOws(field.second), "100-continue")) return {417, "unknown expectation"};
    // Only an HTTP/1.1 client waits for the interim response.
    out.expectContinue = http11;
  }
  return {};
}

bool IsKnownMethod(std::string_view method) {
  static constexpr std::array<std::string_view, 9> kKnown = {
      "GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "TRACE", "PATCH", "CONNECT"};
  return std::find(kKnown.begin(), kKnown.end(), method) != kKnown.end();
}

}  // namespace kvserve
