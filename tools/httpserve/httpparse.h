// The head of an HTTP/1.x request: finding its end in the bytes received,
// parsing the request line and the header lines strictly, and reading from
// the headers what the server acts on (body length, persistence, expectation).
// No Windows header: the rules are plain byte work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvserve {

using HeaderField = std::pair<std::string, std::string>;  // name, value (8-bit, as sent)

// Largest request head (request line, header lines, blank line) accepted.
constexpr size_t kMaxHeadBytes = 32 * 1024;
// Most header lines accepted in one request.
constexpr size_t kMaxHeaderCount = 100;
// Longest request target accepted.
constexpr size_t kMaxTargetBytes = 8 * 1024;

struct RequestHead {
  std::string method;
  std::string target;
  int versionMajor = 1;
  int versionMinor = 1;
  std::vector<HeaderField> headers;

  // The first field of that name (case-insensitive), or null.
  const std::string* Find(std::string_view name) const;
  // How many fields carry that name.
  size_t Count(std::string_view name) const;
};

// The offset just past the blank line that ends the head at the start of
// data, or npos while the head is not complete. Lines end in CR LF or LF.
size_t FindHeadEnd(std::string_view data);

// A status for the client and the reason (for the log), or 0 when all is well.
struct Verdict {
  int status = 0;
  std::string why;
  explicit operator bool() const { return status != 0; }
};

// Parses a complete head (as delimited by FindHeadEnd). Malformed: 400; a
// target that is too long: 414; too many fields: 431; HTTP/2 and later: 505.
Verdict ParseHead(std::string_view head, RequestHead& out);

// What the headers say about the exchange.
struct RequestMeta {
  int64_t contentLength = 0;  // 0 when there is no body
  bool keepAlive = true;      // the client allows the connection to persist
  bool expectContinue = false;
  std::string host;  // the Host field (empty for HTTP/1.0 without one)
};

// Checks the fields' meaning: exactly one Host in HTTP/1.1 (400), a
// Content-Length of digits and no conflicting copies (400), no
// Transfer-Encoding on the request (with a Content-Length as well: 400,
// alone: 411, since a body must declare its length), and no expectation
// other than 100-continue (417).
Verdict InterpretHead(const RequestHead& head, RequestMeta& out);

// True for the methods of HTTP/1.1 and its common extensions; an unknown
// but well-formed method is answered 501.
bool IsKnownMethod(std::string_view method);

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace kvserve
